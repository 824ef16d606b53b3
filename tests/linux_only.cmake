# The tests that the Windows build leaves out, each with the reason: they are
# about something only Linux has, Wine cannot show what they check, or they
# set up their case with POSIX means (ulimit, signals, /proc, permission
# bits). Everything else runs under Wine as well.
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
# (Not listed, since they are made per system: the close-signal tests run once
# for each way the system asks a program to close, testing::CloseRequestKinds,
# so the SIGTERM cases CloseSignals/*/1 exist on Linux only; Windows runs the
# WM_CLOSE case.)
linux_only_folder(qt "the Qt view and its display probe; Windows has a native window of its own")
linux_only_file(platform/lock_file_test.cpp "lock files, file locks, links and folder permissions; Windows uses named mutexes")
linux_only_file(app/serial_ports_test.cpp "a fake /sys/class/tty and /dev tree; Windows reads SERIALCOMM")
linux_only_cases(app "EnumCOMs.AnswersWithTheProbedPortsSorted" "a fake /dev tree")
linux_only_cases(app "EnumCOMs.NoPortsGiveAnEmptyText" "a fake empty /dev tree")
linux_only_cases(platform "ConsoleHost.PreviousSignalHandlersComeBackWithTheHost" "POSIX signal handlers")
linux_only_cases(app "PortQueueTest.LockThatCannotBeCreatedRaisesAndTakesNoSlot" "lock files need their folder; named mutexes need none")

# What Wine cannot show.
linux_only_cases(platform "DetachedThread.WaitingThreadsOutliveTheirPoolAndEnd" "a test program that exits while its detached thread is still ending hangs in Wine's process exit under load")
linux_only_cases(files "TFolder.EntriesCarrySizeAttributesAndLocalTimes" "Wine gives a file its write time as its creation time")

# What the test sets up with POSIX means of its own.
linux_only_file(faults/port_lock_file_test.cpp "the machine-wide lock files and their owners; Windows uses named mutexes")
linux_only_cases(faults "UnwritableParameterFile.*" "a file size limit set with ulimit; Windows has no file size limit for a process (a job object limits memory and processes)")
linux_only_cases(faults "JournalEndToEnd.JournalThatCannotBeWrittenRefusesIdsAndPrintsTheRest" "a file size limit set with ulimit, which Windows lacks")
linux_only_cases(faults "ServerLimits.ConnectionCapFollowsTheThreadLimit" "a thread limit set with ulimit; a job object limits processes and memory, not threads")
linux_only_cases(faults "ServerLimits.ConsoleOnAClosedPipeKeepsServing" "SIGPIPE on a shell pipe whose reader has gone")
linux_only_cases(faults "HttpClients.Curl*:HttpClients.Python*" "curl and python3, the build machine's own programs; the framing they send is checked beside them with the test's own socket")
linux_only_cases(faults "StatusListener.MetricsReadByThePrometheusParser:StatusListener.Chromium*" "python3's Prometheus parser and Chromium are the build machine's own programs")
linux_only_cases(process "ExeProcessRun.ProgramEndedBySignalReads128PlusSignal" "a child ended by a signal")
linux_only_cases(process "ExeProcessRun.ProgramWithoutExecuteRightIsReportedByRun" "execute permission bits; Windows has no execute right to withdraw, and Wine runs even a text file named .exe")
linux_only_cases(process "ExeProcessTerminate.EndsASleepingProgramAndWhatItStarted" "a shell's background child in the program's process group; the job object's reach is checked by ProcessesAndMutexes.KillEndsWhatTheChildStarted")
linux_only_cases(process "ExeProcessDescriptors.*" "the child lists its descriptors by number from /proc/self/fd; what a Windows child gets is checked by FileHandles.ChildProcessesInheritNoOpenFile")
linux_only_cases(process "ExeProcessUnsupported.*" "what Linux lacks: ENOSYS for windows, no session end; Windows has them")
linux_only_cases(app "UpdateRequest.StoredFilesTakeThePermissionsOfWhatTheyReplaceAndTheProgramIsExecutable" "permission bits and the execute bit")
linux_only_cases(app "UpdateStart.InstalledFilesKeepThePermissionsOfWhatTheyReplace" "permission bits")
linux_only_cases(app "UpdateStart.LeftoversDirectlyInTheFolderAreDeletedFoldersAndLinksIncluded" "symbolic links, which Wine cannot make")
linux_only_cases(app "UpdateStart.InstalledFileReplacesTheOldOneInOneStep" "a file open in the C++ library cannot be replaced on Windows, which shares no delete access")
linux_only_file(faults/wine_driver_test.cpp "runs a Windows driver through Wine from Linux")
