// The Kestrel executable.
#include <string>
#include <vector>

#include "app/program.h"
#include "platform/desktop_host.h"
#include "platform/executable.h"
#include "platform/memory.h"
#include "platform/socket.h"

int main(int argc, char** argv) {
  kestrel::platform::IgnoreBrokenPipes();
  kestrel::platform::ReturnLargeBlocksToTheSystem();
  std::vector<std::string> arguments = kestrel::platform::ProgramArguments(argc, argv);
  std::vector<char*> argument_pointers;
  for (std::string& argument : arguments)
    argument_pointers.push_back(argument.data());
  argument_pointers.push_back(nullptr);
  int argument_count = static_cast<int>(arguments.size());

  kestrel::KestrelHooks hooks = kestrel::MakeProgramHooks(
      kestrel::platform::RunningExecutablePath(),
      std::vector<std::string>(arguments.begin() + (arguments.empty() ? 0 : 1), arguments.end()));
  hooks.desktop_host = kestrel::platform::CreateDesktopHost;
  return kestrel::RunKestrel(argument_count, argument_pointers.data(), hooks);
}
