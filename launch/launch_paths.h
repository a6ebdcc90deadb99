#pragma once

// Names built into the launcher; nothing is configurable.

namespace launcher {

inline constexpr char kIconFileName[] = "Ostra.ico";
inline constexpr char kProgramFileName[] = "Norvik_Studio.exe";
inline constexpr char kUpdateCopyPath[] =
    "C:\\Brelvance\\UpdateFile\\10001000\\0005\\Norvik_Studio.exe";

// SW_SHOWNORMAL: a normal window that takes the focus.
inline constexpr int kShowNormal = 1;

}  // namespace launcher
