// The Kestrel executable.
#include <string>
#include <vector>

#include "app/program.h"
#include "platform/executable.h"
#include "platform/memory.h"
#include "platform/qt/qt_window_host.h"
#include "platform/socket.h"

int main(int argc, char** argv) {
  kestrel::platform::IgnoreBrokenPipes();
  kestrel::platform::ReturnLargeBlocksToTheSystem();
  kestrel::KestrelHooks hooks = kestrel::MakeProgramHooks(
      kestrel::platform::RunningExecutablePath(), std::vector<std::string>(argv + 1, argv + argc));
  hooks.desktop_host = kestrel::platform::CreateQtWindowHost;
  return kestrel::RunKestrel(argc, argv, hooks);
}
