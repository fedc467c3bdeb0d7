// `stubmedia transform BASE.msi LOCALIZED.msi -o 1031.mst`
#include "cli.h"
#include "transform.h"

#include <memory>

namespace stubmedia {

Command AddTransformCommand(CLI::App& root, const Io& io)
{
    struct Args {
        TransformOptions options;
        bool json = false;
    };
    auto a = std::make_shared<Args>();
    CLI::App* app = root.add_subcommand(
        "transform",
        "Makes a language transform: the changed, added and removed rows of every table that turn the base "
        "package into the localized build of the same product (same sources, same embedded cabinets, built with "
        "another Language). The transform is applied back to the base before it is kept, and nothing is written "
        "when that does not give the localized package. Name it by the localized language, e.g. 1031.mst; for "
        "the base language, give the base package twice.");
    app->add_option("base", a->options.base, "the package the medium carries");
    app->add_option("localized", a->options.localized, "the same product built for one language");
    app->add_option("-o,--output", a->options.output, "the transform to write, e.g. 1031.mst")->type_name("FILE");
    AddJsonFlag(app, &a->json);

    auto run = [a, app, &io]() -> int {
        const TransformOptions& o = a->options;
        if (o.base.empty() || o.localized.empty() || o.output.empty())
            return UsageError(io, app, "transform takes the base package, the localized package and -o FILE");
        TransformReport report = MakeLanguageTransform(o);
        if (a->json) {
            Json j;
            j["command"] = "transform";
            j["base"] = o.base;
            j["localized"] = o.localized;
            j["output"] = o.output;
            j["written"] = report.written;
            j["language"] = report.language;
            j["changes"] = report.changes;
            AddFindingsJson(j, report.findings);
            PrintJson(io.out, j);
        } else {
            if (report.written) {
                io.out << o.output << ": language " << report.language << "\n";
                for (const std::string& change : report.changes)
                    io.out << "  " << change << "\n";
            }
            PrintFindings(io.out, report.findings);
        }
        return report.findings.HasErrors() ? kExitFindings : kExitOk;
    };
    return {app, "transform <base.msi> <localized.msi> -o <NNNN.mst> [--json]", run};
}

}  // namespace stubmedia
