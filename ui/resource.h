// Resource numbers and control ids of the upgrade window and its About box.
#pragma once

namespace wick::ui {

inline constexpr int IDD_ABOUT = 100;
inline constexpr int IDS_ABOUT_ITEM = 101;
inline constexpr int IDD_MAIN = 102;
inline constexpr int IDR_REGISTRY = 103;
inline constexpr int IDR_APPICON = 128;

// The About item of the window menu. A multiple of 16: the low four bits of a system command carry
// the system's own flags, so commands are matched with them cleared.
inline constexpr unsigned ID_ABOUT_CMD = 0x0010;

inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDC_PATH = 1000;
inline constexpr int IDC_LOAD = 1001;
inline constexpr int IDC_UPGRADE = 1002;
inline constexpr int IDC_RADIO_FIRMWARE = 1003;
inline constexpr int IDC_CONNECT = 1004;
inline constexpr int IDC_PORT = 1005;
inline constexpr int IDC_RADIO_BOOT = 1006;
inline constexpr int IDC_RADIO_CHANNEL = 1007;
inline constexpr int IDC_RADIO_MODULE = 1008;
inline constexpr int IDC_PROGRESS = 1009;

}  // namespace wick::ui
