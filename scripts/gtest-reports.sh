# Sourced by the stage scripts: totals of the GoogleTest XML reports that
# test programs write when run with GTEST_OUTPUT=xml:DIR/.

# zk_gtest_totals DIR: prints "PROGRAMS CASES FAILED SKIPPED".
zk_gtest_totals() {
  local report programs=0 cases=0 failures=0 skipped=0
  # Totals stand on <testsuites>; skips are counted per <testsuite>.
  total() { grep -o "<$1 [^>]*" "$report" | grep -o " $2=\"[0-9]*\"" |
            grep -o '[0-9]*' | awk '{ n += $1 } END { print n + 0 }'; }
  for report in "$1"/*.xml; do
    [ -e "$report" ] || continue
    programs=$((programs + 1))
    cases=$((cases + $(total testsuites tests)))
    failures=$((failures + $(total testsuites failures) + $(total testsuites errors)))
    skipped=$((skipped + $(total testsuite skipped) + $(total testsuites disabled)))
  done
  echo "$programs $cases $failures $skipped"
}

# zk_gtest_skips DIR WHERE: one line per skipped case with the reason it gave.
zk_gtest_skips() {
  local report
  for report in "$1"/*.xml; do
    [ -e "$report" ] || continue
    awk -v where="$2" '/<testcase / && /result="skipped"/ {
           match($0, / name="[^"]*"/); name = substr($0, RSTART + 7, RLENGTH - 8)
           match($0, / classname="[^"]*"/); suite = substr($0, RSTART + 12, RLENGTH - 13)
           getline; reason = $0; sub(/.*&#x0A;/, "", reason); sub(/".*/, "", reason)
           print "skipped " where ": " suite "." name " (" reason ")" }' "$report"
  done
}
