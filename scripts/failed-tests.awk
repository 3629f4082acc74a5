# Prints one line per failed test of a ctest LastTest.log: the test's name and
# its first failure messages, joined, so the reason survives a long scroll.
/^[0-9]+\/[0-9]+ Testing: / { name = $0; sub(/^[0-9]+\/[0-9]+ Testing: /, "", name); text = ""; inout = 0; next }
/^Output:$/ { inout = 1; next }
/^<end of output>$/ { inout = 0; next }
inout && (/Failure$/ || /Sanitizer|runtime error|terminate called|No such file/ || keep > 0) {
  if (/Failure$/ || /Sanitizer|runtime error/) keep = 6
  line = $0; gsub(/[ \t]+/, " ", line)
  if (length(text) < 600) text = text (text == "" ? "" : " | ") line
  if (keep > 0) keep--
  next
}
/^Test Failed\./ {
  if (name != "" && shown < 12) { print "FAILED " name ": " substr(text == "" ? "(no failure message in its output)" : text, 1, 600); shown++ }
  name = ""
}
