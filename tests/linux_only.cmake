# The tests that the Windows build leaves out, each with the reason: they are
# about something only Linux has, or their harness runs Linux programs (sh,
# /proc). Everything else runs under Wine as well.
#
#   linux_only_file(<subsystem>/<file> <reason>)  a whole test file
#   linux_only_cases(<subsystem> <gtest pattern> <reason>)  single cases
set(linux_only_files "")
function(linux_only_file file reason)
  set(linux_only_files ${linux_only_files} ${file} PARENT_SCOPE)
endfunction()
function(linux_only_cases subsystem pattern reason)
  set(linux_only_cases_${subsystem} ${linux_only_cases_${subsystem}} ${pattern} PARENT_SCOPE)
endfunction()

linux_only_file(qt/qt_window_host_test.cpp "the Qt view; Windows has a native window of its own")
