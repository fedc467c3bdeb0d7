#include "transform.h"

#include "medium.h"
#include "msi_format.h"

#include "text.h"

#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;

namespace stubmedia {

namespace {

// Tables and rows of expected that actual lacks or holds differently; empty when equal.
std::string FirstDifference(const msi::Database& expected, const msi::Database& actual)
{
    for (const msi::Table& e : expected.tables) {
        const msi::Table* a = actual.Find(e.name);
        if (!a)
            return "table " + e.name + " is missing";
        if (a->columns.size() != e.columns.size())
            return "table " + e.name + " has other columns";
        if (a->rows != e.rows)
            return "table " + e.name + " holds other rows";
    }
    for (const msi::Table& a : actual.tables)
        if (!expected.Find(a.name))
            return "table " + a.name + " is extra";
    return std::string();
}

}  // namespace

TransformReport MakeLanguageTransform(const TransformOptions& options)
{
    TransformReport report;
    Findings& findings = report.findings;
    msi::Database base, localized;
    std::string error;
    if (!msi::ReadDatabase(options.base, &base, &error)) {
        findings.Error("package-unreadable", options.base, error);
        return report;
    }
    if (!msi::ReadDatabase(options.localized, &localized, &error)) {
        findings.Error("package-unreadable", options.localized, error);
        return report;
    }
    report.language = localized.Property("ProductLanguage");

    std::string stem = fs::path(options.output).stem().string();
    std::string extension = fs::path(options.output).extension().string();
    if (IsCanonicalLanguage(sim::U16(stem)) && stem != report.language)
        findings.Warning("transform-name-language", options.output,
                         "the localized package's ProductLanguage is " + report.language +
                             ", but the launcher picks this file for language " + stem);
    else if (!IsCanonicalLanguage(sim::U16(stem)) || (extension != ".mst" && extension != ".MST"))
        findings.Note("transform-name", options.output,
                      "the launcher looks for transforms named by the language, here " + report.language + ".mst");

    msi::GenerateResult generated = msi::GenerateTransform(base, localized, options.output);
    for (const auto& [code, message] : generated.warnings)
        findings.Warning(code, options.localized, message);
    if (!generated.ok) {
        findings.Error("transform-failed", options.output, generated.error);
        return report;
    }
    report.changes = generated.notes;
    if (generated.empty)
        findings.Note("transform-empty", options.output,
                      "the packages hold the same tables and rows: the transform changes nothing, which is what "
                      "the base language's own transform should do");

    // The reader applies what the writer wrote; both must give the localized package.
    msi::Database applied;
    msi::TransformReport check = msi::ApplyTransform(options.output, base, &applied);
    std::string difference = check.error.empty() ? FirstDifference(localized, applied) : check.error;
    if (!difference.empty()) {
        std::remove(options.output.c_str());
        findings.Error("transform-verify", options.output,
                       "applied to the base package, the transform does not give the localized one (" + difference +
                           "); nothing written");
        return report;
    }
    report.written = true;
    return report;
}

}  // namespace stubmedia
