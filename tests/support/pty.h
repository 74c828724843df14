// A pseudo-terminal pair for tests: the slave side is the device the port opens, the master side
// plays the box.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace wick::test {

class Pty {
 public:
  Pty();  // fails the test (and leaves master() at -1) when no pseudo-terminal can be had
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  int master() const { return master_; }
  const std::string& slavePath() const { return slave_path_; }

  // Writes all bytes to the master side (the box sending).
  void Write(const std::vector<uint8_t>& bytes);
  // Reads from the master side until count bytes came or timeout passed.
  std::vector<uint8_t> Read(size_t count, std::chrono::milliseconds timeout);
  // Reads whatever arrives until the line has been quiet for `quiet`.
  std::vector<uint8_t> ReadUntilQuiet(std::chrono::milliseconds quiet,
                                      std::chrono::milliseconds limit);
  // Closes the master side: the line hangs up.
  void CloseMaster();

 private:
  int master_ = -1;
  int keep_slave_ = -1;  // keeps the slave side existing while no port has it open
  std::string slave_path_;
};

}  // namespace wick::test
