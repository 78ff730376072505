#pragma once
// The few Windows-style types of the device library's API. A window handle is
// anything that can take a posted message from any thread: both window hosts
// (headless and Qt) and the tests' recording targets provide one.

#include <cstdint>

using UINT = unsigned int;
using BOOL = int;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using UINT_PTR = std::uintptr_t;
using INT_PTR = std::intptr_t;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr UINT WM_USER = 0x0400;

namespace vardo {

// Receives messages posted from any thread and delivers them, in order, on
// the window thread.
class MessageTarget {
public:
    virtual void PostMessage(UINT message, WPARAM wParam, LPARAM lParam) = 0;

protected:
    ~MessageTarget() = default;
};

}  // namespace vardo

using HWND = vardo::MessageTarget*;
