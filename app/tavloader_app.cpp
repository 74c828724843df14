#include "app/tavloader_app.h"

#include <signal.h>

#include <filesystem>
#include <system_error>

#include "app/command_line.h"
#include "app/registration.h"
#include "platform/debug_output.h"

namespace wick::app {

CTavLoaderApp::CTavLoaderApp(std::vector<std::string> args, std::string programPath,
                             DialogRunner runDialog, QuitWaiter waitForQuit)
    : m_args(std::move(args)),
      m_strCmdLine(BuildCommandLine(m_args)),
      m_strProgramPath(std::move(programPath)),
      m_runDialog(std::move(runDialog)),
      m_waitForQuit(std::move(waitForQuit)) {}

int CTavLoaderApp::Run() {
  if (InitInstance() && m_waitForQuit) {
    m_waitForQuit();
  }
  return ExitInstance();
}

bool CTavLoaderApp::InitInstance() {
  if (!InitComModule()) {
    return false;
  }
  // Started as a server the program shows nothing and stays until it is told to quit.
  if (HasEmbeddingSwitch(m_args)) {
    return true;
  }
  if (m_runDialog) {
    m_runDialog();
  }
  return false;
}

bool CTavLoaderApp::InitComModule() {
  m_bComInited = true;
  CTavLoaderModule::Registration found = CTavLoaderModule::ScanForRegistration(m_strCmdLine);
  if (found == CTavLoaderModule::Registration::kNone) {
    return true;
  }
  // The outcome is not reported: the program ends the same way after a failure.
  std::string error;
  bool done = found == CTavLoaderModule::Registration::kRegister
                  ? RegisterServer(m_strProgramPath, error)
                  : UnregisterServer(error);
  if (!done) {
    platform::DebugTrace("registration: %s\n", error.c_str());
  }
  m_bComInited = false;
  return false;
}

int CTavLoaderApp::ExitInstance() {
  m_bComInited = false;
  return 0;
}

void WaitForQuitSignal() {
  sigset_t quit;
  sigemptyset(&quit);
  sigaddset(&quit, SIGINT);
  sigaddset(&quit, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &quit, nullptr);
  int signal = 0;
  sigwait(&quit, &signal);
}

std::string ProgramPath(const std::string& fallback) {
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? fallback : self.string();
}

}  // namespace wick::app
