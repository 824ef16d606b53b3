# The tests that the Windows build leaves out, each with the reason: they are
# about something only Linux has, Wine cannot show what they check, or their
# harness still runs POSIX programs (/bin/sh scripts standing in for drivers,
# /proc, signals raised in-process). Everything else runs under Wine as well.
#
#   linux_only_file(<subsystem>/<file> <reason>)            a whole test file
#   linux_only_cases(<subsystem> <gtest pattern> <reason>)  single cases
#   linux_only_folder(<subsystem> <reason>)                 a whole test program
set(linux_only_folders "")
set(linux_only_files "")
function(linux_only_folder subsystem reason)
  set(linux_only_folders ${linux_only_folders} ${subsystem} PARENT_SCOPE)
endfunction()
function(linux_only_file file reason)
  set(linux_only_files ${linux_only_files} ${file} PARENT_SCOPE)
endfunction()
function(linux_only_cases subsystem pattern reason)
  set(linux_only_cases_${subsystem} ${linux_only_cases_${subsystem}} ${pattern} PARENT_SCOPE)
endfunction()

# Facilities only Linux has.
linux_only_folder(qt "the Qt view and its display probe; Windows has a native window of its own")
linux_only_file(platform/named_lock_test.cpp "lock files, flock and folder permissions; Windows uses named mutexes")
linux_only_file(app/serial_ports_test.cpp "a fake /sys/class/tty and /dev tree; Windows reads SERIALCOMM")
linux_only_cases(app "EnumCOMs.AnswersWithTheProbedPortsSorted" "a fake /dev tree")
linux_only_cases(app "EnumCOMs.NoPortsGiveAnEmptyText" "a fake empty /dev tree")
linux_only_cases(files "FileCRC32.FolderCannotBeOpenedAsAFile" "EISDIR's text; Windows refuses a folder as access denied")
linux_only_cases(files "WriteFileBody.FileThatCannotBeCreatedRaisesTheCreateError" "ENOTDIR's text")
linux_only_cases(files "CopyFileContent.CopiedProgramStaysExecutable" "execute permission bits and a #! script")
linux_only_cases(files "FileSharing.ChildProcessesInheritNoOpenFile" "lists /proc/self/fd")
linux_only_cases(platform "*/ConsoleHostSignal.*" "SIGINT and SIGTERM raised in-process; Windows closes by console events and WM_CLOSE")
linux_only_cases(platform "ConsoleHost.PreviousSignalHandlersComeBackWithTheHost" "POSIX signal handlers")
linux_only_cases(app "*/RunKestrelSignalTest.*" "SIGINT and SIGTERM raised in-process")
linux_only_cases(platform "SocketHandles.EveryKindIsCloseOnExec" "reads /proc/self/fdinfo")
linux_only_cases(platform "SocketReceive.SilentPeerTimesOutWith10060" "Linux's text for ETIMEDOUT; Wine has no text for 10060")
linux_only_cases(app "ParamsFileName.TimeToTheMillisecondThenPort" "file names that keep case; Windows' form has a case of its own")
linux_only_cases(app "ParamsFileName.OtherBytesAreEscapedSoNoPortLeavesTheFolderOrSharesAFile" "file names that keep case")
linux_only_cases(app "PortQueueTest.LockThatCannotBeCreatedRaisesAndTakesNoSlot" "lock files need their folder; named mutexes need none")

# What Wine cannot show.
linux_only_cases(files "TFolder.EntriesCarrySizeAttributesAndLocalTimes" "Wine gives a file its write time as its creation time")

# Harnesses that still run POSIX programs; they need a Windows child program
# in place of their shell scripts before they can run here.
linux_only_file(process/exe_process_test.cpp "children are /bin/sh scripts, their state read from /proc")
linux_only_file(app/self_update_test.cpp "stand-in programs are #! scripts; KestrelProgram reads /proc")
linux_only_file(tools/kestrel_send_test.cpp "runs the client through /bin/sh")
linux_only_file(faults/driver_test.cpp "KestrelProcess starts the server through /bin/sh with script drivers")
linux_only_file(faults/hostile_body_test.cpp "KestrelProcess starts the server through /bin/sh")
linux_only_file(faults/http_clients_test.cpp "KestrelProcess, and curl and python3 as clients")
linux_only_file(faults/params_file_test.cpp "KestrelProcess starts the server through /bin/sh")
linux_only_file(faults/port_lock_test.cpp "KestrelProcess, and POSIX calls of its own")
linux_only_file(faults/request_storm_test.cpp "KestrelProcess starts the server through /bin/sh")
linux_only_file(faults/server_limits_test.cpp "KestrelProcess starts the server through /bin/sh")
linux_only_file(faults/journal_test.cpp "KestrelProcess starts the server through /bin/sh")
linux_only_cases(app "CallDrvExeTest.*" "the driver is a #! script")
linux_only_cases(app "PrintOverTcp.*" "the driver is a #! script")
linux_only_cases(app "PrintWithLockHolder.*" "the lock holder is started through /bin/sh")
linux_only_cases(app "PortQueueTest.AnotherProcessSharesTheQueueOfAPort" "the lock holder is started through /bin/sh")
linux_only_cases(app "PortQueueTest.HolderProcessKilledWhileHoldingFreesThePort" "the lock holder is started through /bin/sh")
linux_only_file(faults/wine_driver_test.cpp "runs a Windows driver through Wine from Linux")
