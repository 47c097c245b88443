// Every message of the tool is one modal box: no parent, title "提示", the
// text, one Ok button and the information icon. Tests put a sink of their own
// in its place, so that nothing waits for a click.
#pragma once

#include <QString>

#include <functional>

void ShowMessage(const QString& text);

using MessageSink = std::function<void(const QString& text)>;
// An empty sink puts the message box back.
void SetMessageSink(MessageSink sink);
