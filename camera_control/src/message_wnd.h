// The hidden message window: worker threads post a record with a message of
// its own and return at once; the window's dispatcher thread calls the
// registered callback and frees the record.
#pragma once

#include <cstdint>

#include "Qelm_Control.h"
#include "platform/msgwindow.h"

namespace qelm {

enum : uint32_t {
  WM_DEVICE_FOUND = 0x500,
  WM_CONN_EVENT = 0x501,
  WM_UPDATE_PROGRESS = 0x502,
  WM_CONTROL_STATUS = 0x503,
  WM_CAMERA_HANDLE = 0x505,
  WM_DB_PROGRESS = 0x506,
};

struct StConnEvent {
  void* user;  // the user value given to Qelm_OpenCamera
  StCameraHandle* handle;
  uint32_t event;  // 3 link lost, 4 link restored
};

// Record of WM_CAMERA_HANDLE: the handle's address travels with the message,
// since a handle whose link is lost is freed before the window handles it.
struct StCameraHandleEvent {
  StCameraHandle* handle;
  uint32_t ip;
};

constexpr uint32_t kShortStatusSize = 76;
constexpr uint32_t kLongStatusSize = 332;
constexpr uint32_t kExtStatusSize = 560;

struct StStatusReport {
  StCameraHandle* handle = nullptr;
  uint8_t shortStatus[kShortStatusSize] = {};
  uint8_t longStatus[kLongStatusSize] = {};
  uint8_t extStatus[kExtStatusSize] = {};
  uint32_t length = 0;  // bytes of the status item received
  uint32_t reserved = 0;
};

// Progress record of the firmware and database transfers: the user value, then
// the 39 words the callback receives.
struct StTransferProgress {
  void* user = nullptr;
  uint32_t words[39] = {};
};

class CMessageWnd {
 public:
  static constexpr const char* kWindowName = "QVYHideWnd";

  bool Create();
  // Queues a message. False when the window takes no more messages: the
  // caller still owns the record and frees it.
  bool Post(uint32_t msg, uintptr_t wParam, void* record);
  pf::MessageWindow& Window() { return window_; }

 private:
  void OnMessage(uint32_t msg, uintptr_t wParam, uintptr_t lParam);
  pf::MessageWindow window_;
};

// Makes the hidden window unless it exists (made once, never destroyed).
void EnsureMessageWindow();
CMessageWnd* MessageWnd();

// Posts `record` to the window, which then owns it and frees it after its
// handler; a record that the window cannot take is freed here (the message is
// lost, as a post to a full queue is).
template <class T>
void PostRecord(CMessageWnd* window, uint32_t msg, uintptr_t wParam, T* record) {
  if (!record) return;
  if (!window->Post(msg, wParam, record)) delete record;
}

}  // namespace qelm
