// A simulated machine for host tests: a medium on drive M: (a CD-ROM by
// default) holding setup.exe, and a system drive C: with a temporary
// directory, each backed by a fresh host directory.
#pragma once

#include "platform/sim/sim_control.h"

#include <gtest/gtest.h>

#include <string>

class SimTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // A fresh machine within one test, for tables of scenarios.
    void Restart()
    {
        TearDown();
        SetUp();
    }

    // Real files behind Windows paths.
    void WriteFile(const std::u16string& windowsPath, const std::string& bytes);
    std::string ReadFile(const std::u16string& windowsPath);
    bool Exists(const std::u16string& windowsPath);
    void MakeDirectory(const std::u16string& windowsPath);
    void WriteAutorun(const std::string& text) { WriteFile(u"M:\\autorun.inf", text); }

    // Starts the program as a new process, the way Windows' start-up would:
    // fresh process-wide state, the command tail derived from the line.
    int RunCommandLine(const std::u16string& commandLine);
    int RunSetup(const std::u16string& arguments = u"");
    // Runs another image, such as a launched copy, with its own command line.
    int RunAs(const std::u16string& image, const std::u16string& commandLine);

    std::string root;  // host directory holding the drives
    std::u16string modulePath = u"M:\\setup.exe";
};

// The Windows path as UTF-8, for messages.
std::string Narrow(const std::u16string& text);
