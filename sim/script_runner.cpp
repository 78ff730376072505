#include "sim/script_runner.h"

#include <fstream>
#include <iostream>
#include <thread>

namespace sim {

ScriptRunner::ScriptRunner(asio::io_context& io, CenterServer& server, std::function<void()> onExit)
    : io_(io),
      server_(server),
      onExit_(std::move(onExit)),
      sleepTimer_(io),
      inbox_(std::make_shared<Inbox>()) {
    server_.setLoginListener([this] {
        if (waitingForLogin_) {
            waitingForLogin_ = false;
            waiting_ = false;
            // After the login's own messages are queued.
            asio::post(io_, [this] { pump(); });
        }
    });
}

ScriptRunner::~ScriptRunner() {
    server_.setLoginListener(nullptr);
    const std::lock_guard lock(inbox_->mutex);
    inbox_->wake = nullptr;
}

std::vector<std::string> ScriptRunner::runFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return {"cannot read the script '" + path + "'"};
    }
    std::vector<std::string> errors;
    std::vector<Command> commands;
    std::string line;
    int number = 0;
    while (std::getline(file, line)) {
        ++number;
        ParsedLine parsed = parseScriptLine(line);
        if (!parsed.error.empty()) {
            errors.push_back(path + ":" + std::to_string(number) + ": " + parsed.error);
        } else if (parsed.command) {
            commands.push_back(std::move(*parsed.command));
        }
    }
    if (errors.empty()) {
        runCommands(std::move(commands));
    }
    return errors;
}

void ScriptRunner::runCommands(std::vector<Command> commands) {
    for (auto& c : commands) {
        queue_.push_back(std::move(c));
    }
    asio::post(io_, [this] { pump(); });
}

void ScriptRunner::runStandardInput() {
    {
        const std::lock_guard lock(inbox_->mutex);
        inbox_->wake = [this] { asio::post(io_, [this] { pump(); }); };
    }
    std::thread([inbox = inbox_] {
        std::string line;
        while (std::getline(std::cin, line)) {
            const std::lock_guard lock(inbox->mutex);
            inbox->lines.push_back(std::move(line));
            if (inbox->wake) {
                inbox->wake();
            }
        }
    }).detach();
}

void ScriptRunner::report(const std::string& error) {
    logLine("script: " + error);
}

void ScriptRunner::pump() {
    if (exited_) {
        return;
    }
    {
        const std::lock_guard lock(inbox_->mutex);
        while (!inbox_->lines.empty()) {
            ++lineNumber_;
            ParsedLine parsed = parseScriptLine(inbox_->lines.front());
            inbox_->lines.pop_front();
            if (!parsed.error.empty()) {
                report("line " + std::to_string(lineNumber_) + ": " + parsed.error + " (skipped)");
            } else if (parsed.command) {
                queue_.push_back(std::move(*parsed.command));
            }
        }
    }
    while (!waiting_ && !exited_ && !queue_.empty()) {
        const Command command = std::move(queue_.front());
        queue_.pop_front();
        if (!execute(command)) {
            waiting_ = true;
        }
    }
}

bool ScriptRunner::execute(const Command& command) {
    std::string error;
    if (const auto* c = std::get_if<CmdOnline>(&command)) {
        error = server_.online(
            vardo::protocol::Online{c->dev, c->name, c->vehicle, c->driver, c->channels, ""});
    } else if (const auto* c = std::get_if<CmdGps>(&command)) {
        error = server_.gps(c->dev, c->text);
    } else if (const auto* c = std::get_if<CmdOffline>(&command)) {
        error = server_.offline(c->dev);
    } else if (const auto* c = std::get_if<CmdAlarm>(&command)) {
        error = server_.alarm(c->dev, c->alarm);
    } else if (const auto* c = std::get_if<CmdEvent>(&command)) {
        error = server_.event(c->dev, c->kind);
    } else if (std::holds_alternative<CmdWaitLogin>(command)) {
        if (server_.loggedInClients() == 0) {
            waitingForLogin_ = true;
            return false;
        }
    } else if (const auto* c = std::get_if<CmdSleep>(&command)) {
        sleepTimer_.expires_after(std::chrono::milliseconds(c->ms));
        sleepTimer_.async_wait([this](const asio::error_code& e) {
            if (!e) {
                waiting_ = false;
                pump();
            }
        });
        return false;
    } else if (std::holds_alternative<CmdDrop>(command)) {
        server_.dropClients();
    } else if (std::holds_alternative<CmdExit>(command)) {
        exited_ = true;
        onExit_();
        return false;
    }
    if (!error.empty()) {
        report(error);
    }
    return true;
}

}  // namespace sim
