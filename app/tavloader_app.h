// The application: start-up with the registration switches, the modal run of the upgrade window,
// the embedded start that waits for its quit signal, and the shut-down.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace wick::app {

class CTavLoaderApp {
 public:
  // The window's modal run (its result is not used), and the wait of an embedded start for its
  // quit message. The program plugs in the Qt window and a wait for SIGINT or SIGTERM; tests
  // plug in recorders.
  using DialogRunner = std::function<void()>;
  using QuitWaiter = std::function<void()>;

  CTavLoaderApp(std::vector<std::string> args, std::string programPath, DialogRunner runDialog,
                QuitWaiter waitForQuit);

  // Start-up to shut-down: the process's exit code.
  int Run();

  // True to enter the message loop (an embedded start), false to end at once.
  bool InitInstance();
  int ExitInstance();
  // True when the program goes on; false after a registration switch has been handled.
  bool InitComModule();

  const std::string& CommandLine() const { return m_strCmdLine; }

  // True while the module is live; ExitInstance undoes it only then.
  bool m_bComInited = false;

 private:
  std::vector<std::string> m_args;
  std::string m_strCmdLine;
  std::string m_strProgramPath;
  DialogRunner m_runDialog;
  QuitWaiter m_waitForQuit;
};

// Blocks SIGINT and SIGTERM and waits for one of them: the quit message of an embedded start.
void WaitForQuitSignal();
// The running program's own path (/proc/self/exe), or fallback when it cannot be read.
std::string ProgramPath(const std::string& fallback);

}  // namespace wick::app
