#!/usr/bin/env bash
# JVarnel's documentation against the README's: javadoc -Xdoclint:all finds
# nothing to say; every native method of src/native-methods.txt has its
# Javadoc; each method's codes in it are exactly those of its row in the
# README's method reference and those the status table gives it; its keywords,
# GetTokenInfo's fields in order and the search kinds read the same in both.
# Usage: tests/check-api-docs.sh
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tests/checks.sh"
source "$root/tools/paths.sh"
jdk=${JDK:-$jdk64}
class=$root/java/ka/tovik/selvo/jvarnel/JVarnel.java
readme=$root/README.md
scratch=$(mktemp -d /tmp/varnel-api-docs.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
codes='100(0[1-9]|[1-6][0-9])'
methods=$(grep -v '^#' "$root/src/native-methods.txt" | awk '{ print $1 }' | sort)

doclint_is_silent() {
  "$jdk/bin/javadoc" --release 8 -Xdoclint:all -Werror -quiet -d "$scratch/html" "$class" >"$scratch/javadoc.log" 2>&1 &&
    [ ! -s "$scratch/javadoc.log" ] || { cat "$scratch/javadoc.log"; return 1; }
}

# "Method<TAB>text" per native method: its Javadoc on one line.
javadoc_text() {
  awk '
    /\/\*\*/ { doc = "" }
    { line = $0; sub(/^[ \t]*(\/\*\*|\*\/|\*)?[ \t]*/, "", line); doc = doc " " line }
    /public static native / && match($0, /[A-Za-z]+\(/) { print substr($0, RSTART, RLENGTH - 1) "\t" doc; doc = "" }' "$class"
}
# The same from the README's method reference: each method's row.
reference_text() {
  awk -F'|' -v methods="$methods" '
    BEGIN { n = split(methods, m, "\n"); for (i = 1; i <= n; i++) known["`" m[i] "`"] = 1 }
    { name = $2; gsub(/ /, "", name) }
    name in known { gsub(/`/, "", name); print name "\t" $0 }' "$readme"
}
# "Method code..." from the status table: each row's code for each method it names, and from
# the table of entry points each code for LoadDriver and the method of the entry point's name.
status_table_codes() {
  awk -F'|' -v codes="^ $codes \$" '
    $2 ~ codes && $3 ~ /`C_/ {
      for (i = 2; i + 1 <= NF; i += 2) if ($i ~ codes) {
        method = $(i + 1); gsub(/[` ]|C_/, "", method); if (method == "Logout") method = "LogOut"
        list["LoadDriver"] = list["LoadDriver"] " " ($i + 0); list[method] = list[method] " " ($i + 0)
      }
      next
    }
    $2 ~ codes { n = split($3, m, /[`, ]+/); for (i = 1; i <= n; i++) if (m[i] != "") list[m[i]] = list[m[i]] " " ($2 + 0) }
    END { for (k in list) print k list[k] }' "$readme"
}
# "Method item item..." of the pattern's matches in each line's text, sorted unless "ordered".
items() {
  local pattern=$1 order=${2:-sorted} method text found
  while IFS=$'\t' read -r method text; do
    found=$(grep -oE "$pattern" <<<"$text")
    [ "$order" = ordered ] || found=$(sort -u <<<"$found")
    echo "$method $(paste -sd ' ' <<<"$found")"
  done | sed 's/ $//' | sort
}
every_method_documented() {
  diff <(echo "$methods") <(javadoc_text | cut -f1 | sort) &&
    diff <(echo "$methods") <(reference_text | cut -f1 | sort)
}
codes_agree() {
  local javadoc
  javadoc=$(javadoc_text | items "$codes")
  diff <(echo "$javadoc") <(reference_text | items "$codes") || return 1
  # GetVersion has no code of its own: it is in no row of the status table.
  diff <(grep ' ' <<<"$javadoc") <(status_table_codes | tr ' ' '\t' | sed 's/\t/\t /' | items "$codes")
}
keywords_agree() {
  diff <(javadoc_text | items '"[a-z]+"') <(reference_text | items '"[a-z]+"')
}
token_fields_in_order() {
  local braces='\{status, label[^}]*\}'
  diff <(javadoc_text | grep '^GetTokenInfo' | items "$braces" ordered) \
    <(reference_text | grep '^GetTokenInfo' | items "$braces" ordered) &&
    [ -n "$(javadoc_text | grep '^GetTokenInfo' | grep -oE "$braces")" ]
}
search_kinds_agree() {
  local kinds
  kinds=$(javadoc_text | grep '^FindObjectsInit' | grep -oE '0, objects [^:]*certificates') &&
    tr '\n' ' ' <"$readme" | tr -s ' ' | grep -qF "$kinds" || { echo "search kinds: ${kinds:-none in the Javadoc}"; return 1; }
}

check "javadoc -Xdoclint:all: no warning, no error" doclint_is_silent
check "every native method in the Javadoc and in the README's method reference" every_method_documented
check "each method's codes: the same in its Javadoc, its reference row and the status table" codes_agree
check "each method's keywords: the same in its Javadoc and its reference row" keywords_agree
check "GetTokenInfo's fields in the same order in both" token_fields_in_order
check "the search kinds read the same in both" search_kinds_agree
summary "api docs"
