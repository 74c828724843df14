// One upgrade station without a window: the owner of a protocol client that runs the client on a
// protocol thread (a TaskQueue), connects a port, starts a run for a chosen image, and hands each
// batch of received bytes to the engine. The window and wickflash-cli both build on it.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "protocol/serial_client1.h"
#include "util/task_queue.h"

namespace wick {

class UpgradeSession : public ClientOwner {
 public:
  explicit UpgradeSession(TaskQueue& queue,
                          platform::SerialDeviceProvider& devices = platform::SystemSerialDevices(),
                          platform::Clock& clock = platform::RealClock());
  // Stops the receive thread before anything it uses goes.
  ~UpgradeSession() override;

  // Everything below runs on the queue's thread.

  // Opens the port at 115200 baud, 8N1, and starts the receive thread. The whole name is used.
  // True when the port is open (also when it was open already). A port whose line was lost (an
  // unplugged adapter, a box that hung up) is closed and opened afresh, so that the operator can
  // go on without restarting the program.
  bool Connect(const std::string& port);
  // The open port's line was reported lost and has not come back.
  bool LineLost() const { return lineLost_; }
  // Records the image as the window does when the operator chooses it (full path, bare name,
  // size), checks that it opens, raises the run and sends the start request of the mode: the three
  // steps below in a row. False, with the reason in words, when no run started.
  bool StartUpgrade(const std::string& path, int32_t mode, std::string& error);

  // The same steps one by one, for the window, whose Load keeps what each step has done when a
  // later one fails. ChooseImage records the full path and the bare name (false when the path does
  // not fit). ReadImageSize takes the size of the recorded file into m_nFileSize (false, and the
  // previous size kept, when the file's status cannot be read or it is 2 GiB or more). SendStart
  // checks that the recorded file opens, raises the run and sends the start request of the mode
  // with m_nFileSize (false when the file does not open, nothing raised or sent; false with the
  // run raised when the request did not go out).
  bool ChooseImage(const std::string& path, std::string& error);
  bool ReadImageSize(std::string& error);
  bool SendStart(int32_t mode, std::string& error);

  CSerialClient1& Client() { return client_; }

  // Called on the queue's thread: after each batch of received bytes (with the transfer offset),
  // for each engine event, and when the line is lost or comes back (error 0).
  std::function<void(int32_t offset)> onProgress;
  std::function<void(const EngineEvent&)> onEvent;
  std::function<void(int error)> onLineState;

  bool SendMessage(uint32_t message, uintptr_t wParam, CSockRS232C1* lParam,
                   std::stop_token stop) override;
  void OnLineState(int error) override;
  void OnEngineEvent(const EngineEvent& event) override;

 private:
  void OnDataReady();

  TaskQueue& queue_;
  // Posted work checks this first: it may run after the session is gone.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  bool lineLost_ = false;
  CSerialClient1 client_;
};

// The start request of a mode in its announcement form; -1 for a mode that has none.
int SendStartRequest(CSerialClient1& client, int32_t mode, int32_t size);

}  // namespace wick
