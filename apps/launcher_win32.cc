// The launcher's entry point on Windows: frmMain, a window that is created and never shown, whose
// load step is the whole run.

#include <windows.h>

#include <exception>
#include <memory>
#include <string>

#include "core/replace/disk_replace_steps.h"
#include "launch/launch_sequence.h"
#include "os/win32/win32_disk.h"
#include "os/win32/win32_services.h"

namespace {

constexpr wchar_t kWindowClass[] = L"NorvikLauncherMain";
constexpr wchar_t kCaption[] = L"Start";
constexpr int kApplicationIconId = 1;

// The end of a run whose fallback failed: no dialog, which would stall an unattended start, but a
// line on the standard error stream and the debugger's channel, and a distinct exit status.
[[noreturn]] void EndUnhandled(const std::string& failure) {
  launcher::WriteDiagnosticLine("launcher: unhandled failure: " + failure);
  ExitProcess(launcher::kExitUnhandled);
}

class FrmMain {
 public:
  explicit FrmMain(HINSTANCE instance) {
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = DefWindowProcW;
    window_class.hInstance = instance;
    window_class.hIcon = LoadIconOfSize(instance, SM_CXICON, SM_CYICON);
    window_class.hIconSm = LoadIconOfSize(instance, SM_CXSMICON, SM_CYSMICON);
    window_class.lpszClassName = kWindowClass;
    RegisterClassExW(&window_class);
    window_ = CreateWindowExW(0, kWindowClass, kCaption, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                              instance, nullptr);
  }

  // Without a window, setting the icon fails and the run takes its fallback path.
  HWND window() const { return window_; }

  [[noreturn]] void Load(launcher::Services& services, launcher::ReplaceSteps& steps) {
    launcher::RunLaunchSequence(services, steps);
    EndUnhandled("the run returned");  // every way through the run ends the process
  }

 private:
  static HICON LoadIconOfSize(HINSTANCE instance, int width_metric, int height_metric) {
    return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(kApplicationIconId), IMAGE_ICON,
                                         GetSystemMetrics(width_metric),
                                         GetSystemMetrics(height_metric), 0));
  }

  HWND window_ = nullptr;
};

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*command_line*/,
                   int /*show*/) {
  // No system error box (missing media, a faulting program) may stall an unattended start.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  try {
    FrmMain frm_main(instance);
    const auto held = std::make_shared<launcher::Win32HeldFolder>();
    launcher::Win32Services services(frm_main.window(), held);
    launcher::Win32Disk disk(held, "FileCopy");
    launcher::DiskReplaceSteps steps(disk);
    frm_main.Load(services, steps);
  } catch (const std::exception& failure) {
    EndUnhandled(failure.what());
  } catch (...) {
    EndUnhandled("unknown failure");
  }
}
