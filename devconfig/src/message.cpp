#include "message.h"

#include <QMessageBox>

namespace {

MessageSink& Sink() {
  static MessageSink sink;
  return sink;
}

}  // namespace

void ShowMessage(const QString& text) {
  if (Sink()) {
    Sink()(text);
    return;
  }
  QMessageBox box(QMessageBox::Information, QStringLiteral("提示"), text, QMessageBox::Ok);
  box.exec();
}

void SetMessageSink(MessageSink sink) { Sink() = std::move(sink); }
