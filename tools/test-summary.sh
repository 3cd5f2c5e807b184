#!/bin/sh
# test-summary.sh BUILD_DIR NAME: one line for the summary of make test on the suite that CTest
# just ran in BUILD_DIR: its CTest tests, and the GoogleTest cases their programs ran (from the
# XML reports that GTEST_OUTPUT had them write into BUILD_DIR/gtest/).
dir=$1
ctests=$(cd "$dir" && ctest -N | sed -n 's/^Total Tests: //p')
cases=$(cat "$dir"/gtest/*.xml 2>/dev/null | sed -n 's/.*<testsuites tests="\([0-9]*\)".*/\1/p' | awk '{ n += $1 } END { print n + 0 }')
programs=$(ls "$dir"/gtest/*.xml 2>/dev/null | wc -l)
echo "$2: $ctests CTest tests passed, $cases GoogleTest cases in $programs programs among them"
