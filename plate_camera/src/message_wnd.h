// The hidden message window and the delivery of callback records: either on
// the worker thread that made the record, or posted to the window, whose
// dispatcher thread calls the callback and frees the record.
#pragma once

#include <cstdint>

#include "Nardix.h"
#include "platform/msgwindow.h"

namespace nardix {

constexpr uint32_t WM_LPR_NOTIFY = 0x500;

// Kinds of records (the message's wParam).
enum NotifyKind : uintptr_t {
  kNotifyFound = 0,
  kNotifyResult = 1,
  kNotifySpare = 2,
  kNotifyConnEvent = 3,
  kNotifyAlgDebug = 4,
};

// Record of the spare callback: five words, then a buffer that the window
// frees after the call.
struct StLprSpareRecord {
  uint32_t words[5];
  uint8_t* buffer;
};

class CMessageWnd {
 public:
  static constexpr const char* kWindowName = "QVYHideWnd";

  bool Create();
  // Queues a record. False when the window takes no more messages: the caller
  // still owns the record.
  bool Post(uintptr_t kind, void* record);
  pf::MessageWindow& Window() { return window_; }

  // The message handler (also reached directly by tests).
  static int OnLprNotify(uintptr_t kind, uintptr_t record);

 private:
  pf::MessageWindow window_;
};

// Makes the hidden window unless it exists (made once, never destroyed).
void EnsureMessageWindow();
CMessageWnd* MessageWnd();

// How a record was delivered.
enum class Delivery { kDirect, kPosted, kNone };

// Frees a record of the given kind as the window does after its handler.
void FreeRecord(uintptr_t kind, void* record);

// Delivers a heap record of one kind: in direct mode the callback (when set)
// is called on this thread and the record freed; in message mode the record is
// posted (the window frees it), or freed when there is no window or its queue
// is full.
Delivery Deliver(uintptr_t kind, void* record);

}  // namespace nardix
