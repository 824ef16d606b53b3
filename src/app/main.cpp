// The Kestrel executable.
#include "app/program.h"
#include "platform/qt/qt_window_host.h"

int main(int argc, char** argv) {
  kestrel::KestrelHooks hooks = kestrel::MakeProgramHooks(kestrel::ProgramFolder());
  hooks.desktop_host = kestrel::platform::CreateQtWindowHost;
  return kestrel::RunKestrel(argc, argv, hooks);
}
