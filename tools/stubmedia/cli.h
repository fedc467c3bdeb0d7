// stubmedia's command line on CLI11: one subcommand per command.
//
// Adding a command: keep its logic in its own files; write an Add function
// that declares the subcommand and its options and returns what runs once
// the line is parsed (in cli.cpp, or in the command's own <name>_cli.cpp
// with its declaration below); list it in kCommands in cli.cpp. The help
// text is made from the subcommand's description and its options'.
#pragma once

#include "report.h"
#include "signature.h"

#include <CLI/CLI.hpp>

#include <functional>
#include <ostream>
#include <string>

namespace stubmedia {

constexpr int kExitOk = 0;
constexpr int kExitFindings = 1;  // errors found, or the command failed
constexpr int kExitUsage = 2;

struct Io {
    std::ostream& out;
    std::ostream& err;
};

struct Command {
    CLI::App* app;
    std::string synopsis;      // the usage line after "stubmedia "
    std::function<int()> run;  // called once the whole line parsed; returns the exit code
};

// "stubmedia: <message>", then the command's help, on the error stream; returns kExitUsage.
int UsageError(const Io& io, const CLI::App* app, const std::string& message);

// --json, which every command takes.
CLI::Option* AddJsonFlag(CLI::App* app, bool* json);

// An option taking a language number, 1031 or 0x0407; count() tells whether it was given.
CLI::Option* AddLanguageOption(CLI::App* app, const std::string& name, uint16_t* language, const std::string& help);

Command AddPackCommand(CLI::App& root, const Io& io);
Command AddCheckCommand(CLI::App& root, const Io& io);
Command AddExplainCommand(CLI::App& root, const Io& io);
Command AddImageCommand(CLI::App& root, const Io& io);
Command AddVerifyCommand(CLI::App& root, const Io& io);
Command AddTransformCommand(CLI::App& root, const Io& io);
Command AddBrandCommand(CLI::App& root, const Io& io);
Command AddSignCommand(CLI::App& root, const Io& io);
Command AddTryCommand(CLI::App& root, const Io& io);

// setup.exe's signature in --json reports and in one line of text.
Json SignatureJson(const SignatureInfo& signature);
std::string SignatureText(const SignatureInfo& signature);

}  // namespace stubmedia
