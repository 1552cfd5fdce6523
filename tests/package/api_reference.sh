#!/usr/bin/env bash
# The API reference from the installed copies of the public headers: doxygen reports no warning,
# that is no undocumented public class or member and no broken documentation, and the steps a
# module overrides (private virtual operations) are in the reference.
set -euo pipefail
build=$1
doxygen=${2:-doxygen}
command -v "$doxygen" >/dev/null || { echo "doxygen missing (scripts/deps.sh installs it)"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
{
  cat "$build/Doxyfile"
  echo "OUTPUT_DIRECTORY = $work"
  echo "WARN_LOGFILE = $work/warnings.log"
  echo "WARN_AS_ERROR = FAIL_ON_WARNINGS"
} >"$work/Doxyfile"
status=0
"$doxygen" "$work/Doxyfile" || status=$?
if [ -s "$work/warnings.log" ] || [ "$status" -ne 0 ]; then
  sed "s|$build/include/||" "$work/warnings.log"
  echo "$(wc -l <"$work/warnings.log") doxygen warnings (status $status)"
  exit 1
fi
page=$work/html/class_k_r_z_p_a_p_configurator.html
for step in _testLogin _retrieveAttributes _changeSSID _validate _cancelOperation; do
  grep -q ">$step<" "$page" || { echo "the reference lacks KRZPAPConfigurator::$step"; exit 1; }
done
echo "API reference: $(find "$work/html" -name 'class*.html' ! -name '*-members.html' | wc -l)" \
  "class pages, no warning"
