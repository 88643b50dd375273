// The benchmark's floor (floor.cpp): each native method of JVarnel made
// again from tests/unit/method_table.h, with nothing but the method's JNI
// calls, so that a method's time over its floor's is what the library adds.
#pragma once

#include <jni.h>

#include <string>
#include <vector>

// The floor's methods, in the table's order: JVarnel's names and JNI
// signatures, each function of the type the library's method has.
const std::vector<JNINativeMethod>& floorMethods();

// The texts `method` answers with, element 0 the status: the library's own
// answer, so that the floor makes the same strings.
void floorAnswer(int method, std::vector<std::string> texts);
