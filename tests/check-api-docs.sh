#!/usr/bin/env bash
# JVarnel's documentation: javadoc -Xdoclint:all finds nothing to say; every
# native method of src/native-methods.txt has its Javadoc, and the codes it
# names are exactly those the README's status table gives that method.
# Usage: tests/check-api-docs.sh
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tests/checks.sh"
jdk=${JDK:-/usr/lib/jvm/java-17-openjdk-amd64}
class=$root/java/ka/tovik/selvo/jvarnel/JVarnel.java
scratch=$(mktemp -d /tmp/varnel-api-docs.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
codes='100(0[1-9]|[1-6][0-9])'

doclint_is_silent() {
  "$jdk/bin/javadoc" --release 8 -Xdoclint:all -Werror -quiet -d "$scratch/html" "$class" >"$scratch/javadoc.log" 2>&1 &&
    [ ! -s "$scratch/javadoc.log" ] || { cat "$scratch/javadoc.log"; return 1; }
}

# "Method code..." for each native method, from the Javadoc above it.
javadoc_codes() {
  awk -v codes="$codes" '
    /\/\*\*/ { doc = "" }
    { doc = doc " " $0 }
    /public static native / && match($0, /[A-Za-z]+\(/) {
      name = substr($0, RSTART, RLENGTH - 1); out = name
      while (match(doc, codes)) { out = out " " substr(doc, RSTART, RLENGTH); doc = substr(doc, RSTART + RLENGTH) }
      print out; doc = ""
    }' "$class"
}
# The same from the README's status table: each row's code for each method it names.
readme_codes() {
  awk -F'|' -v codes="^ $codes \$" '
    $2 ~ codes { n = split($3, m, /[`, ]+/); for (i = 1; i <= n; i++) if (m[i] != "") list[m[i]] = list[m[i]] " " ($2 + 0) }
    END { for (k in list) print k list[k] }' "$root/README.md"
}
normalized() {  # one "Method code code..." line per method, codes sorted, methods sorted
  while read -r method rest; do
    echo "$method $(tr ' ' '\n' <<<"$rest" | grep . | sort -u | paste -sd ' ')"
  done | sed 's/ $//' | sort
}
every_method_documented() {
  local declared listed
  declared=$(javadoc_codes | awk '{ print $1 }' | sort)
  listed=$(grep -v '^#' "$root/src/native-methods.txt" | awk '{ print $1 }' | sort)
  diff <(echo "$listed") <(echo "$declared")
}
codes_match_the_status_table() {
  # Methods without a code of their own (GetVersion) are in neither list.
  diff <(javadoc_codes | normalized | grep ' ') <(readme_codes | normalized)
}

check "javadoc -Xdoclint:all: no warning, no error" doclint_is_silent
check "every native method declared, with its Javadoc" every_method_documented
check "each method's codes in its Javadoc are those the README's status table gives it" codes_match_the_status_table
summary "api docs"
