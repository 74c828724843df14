// What the window tells the operator, in words: one line for the status bar and the log view per
// thing that happened. Pure functions, so that every text can be checked without a window.
#pragma once

#include <string>

#include "protocol/client_owner.h"

namespace wick::ui {

// The file filter of the chooser for a mode, as the window keeps it ("description|pattern|"),
// and the same filter in the chooser's own form ("description (pattern)").
const char* FileFilterForMode(int32_t mode);
std::string ChooserFilter(const char* filter);

// The kind of upgrade in words, for the status line.
const char* ModeTitle(int32_t mode);

std::string ConnectedText(const std::string& port, const std::string& device);
// The port was open already: it stays in use, whatever the field now says.
std::string StillConnectedText(const std::string& openPort, const std::string& typed);
// Why a port did not open, with what to do about it where there is something to do.
std::string ConnectFailedText(const std::string& port, const std::string& device, int error);
std::string LineStateText(const std::string& port, int error);

std::string StartSentText(int32_t mode, const std::string& fileName, int32_t size);
std::string NoStartText(const std::string& error);
// One engine event, or an empty text for an event the status line does not show.
std::string EventText(const EngineEvent& event);
std::string SilentBoxText(int seconds);

}  // namespace wick::ui
