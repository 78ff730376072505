#pragma once
// The window-framework vocabulary the dialog code is written in: message
// numbers, command ids, styles and the small helpers around them. Kept apart
// from win_types.h, which the device library sees too.

#include <cstdint>

#include "vardoappcore/api/win_types.h"

using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using DWORD_PTR = std::uintptr_t;
// An icon is named by its resource id; each host draws it its own way.
using HICON = std::uintptr_t;

constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_INITDIALOG = 0x0110;
constexpr UINT WM_COMMAND = 0x0111;
constexpr UINT WM_SYSCOMMAND = 0x0112;
constexpr UINT WM_TIMER = 0x0113;

constexpr UINT BN_CLICKED = 0;

constexpr UINT SC_CLOSE = 0xF060;

constexpr UINT MB_OK = 0x00;
constexpr UINT MB_ICONEXCLAMATION = 0x30;

constexpr UINT BST_UNCHECKED = 0;
constexpr UINT BST_CHECKED = 1;

constexpr UINT MF_STRING = 0x0000;
constexpr UINT MF_SEPARATOR = 0x0800;

constexpr int LVCFMT_LEFT = 0;
constexpr DWORD LVS_EX_FULLROWSELECT = 0x20;

constexpr BOOL ICON_SMALL = 0;
constexpr BOOL ICON_BIG = 1;

constexpr WORD LOWORD(std::uintptr_t value) {
    return static_cast<WORD>(value & 0xFFFF);
}
constexpr WORD HIWORD(std::uintptr_t value) {
    return static_cast<WORD>((value >> 16) & 0xFFFF);
}
constexpr WPARAM MAKEWPARAM(WORD low, WORD high) {
    return static_cast<WPARAM>(low) | (static_cast<WPARAM>(high) << 16);
}
