#include "ui/headless/headless_application.h"

#include <algorithm>
#include <cstdio>

#include "ui/afx.h"

namespace ui::headless {

HeadlessApplication::HeadlessApplication(const ResourceTable& resources, std::string title,
                                         Clock& clock)
    : Application(resources, std::move(title)), clock_(clock) {}

HeadlessApplication::~HeadlessApplication() = default;

std::unique_ptr<DialogHost> HeadlessApplication::CreateDialogHost(
    CDialog& dialog, const DialogTemplate& dialogTemplate) {
    return std::make_unique<HeadlessHost>(*this, dialog, dialogTemplate, clock_);
}

void HeadlessApplication::SetMessageBoxSink(MessageBoxSink sink) {
    sink_ = std::move(sink);
}

void HeadlessApplication::SetLogSink(LogSink sink) {
    logSink_ = std::move(sink);
}

void HeadlessApplication::Log(const std::string& line) {
    if (logSink_) {
        logSink_(line);
        return;
    }
    const std::string text = Title() + ": " + line + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

void HeadlessApplication::ShowMessageBox(const MessageBoxRecord& record) {
    if (sink_) {
        sink_(record);
        return;
    }
    const std::string line = MessageBoxLine(record) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

std::string MessageBoxLine(const MessageBoxRecord& record) {
    std::string line = record.caption.empty() ? record.text : record.caption + ": " + record.text;
    std::replace_if(
        line.begin(), line.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return line;
}

}  // namespace ui::headless
