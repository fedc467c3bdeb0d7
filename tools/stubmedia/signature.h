// Authenticode signatures of setup.exe through osslsigncode (and openssl for
// the certificates), run as programs: `stubmedia sign`, `pack --sign-pkcs12`
// and check's signature report.
#pragma once

#include "report.h"

#include <cstdint>
#include <optional>
#include <string>

namespace stubmedia {

struct SignOptions {
    std::string pkcs12;        // key and certificate
    std::string passwordFile;  // first line is the password; empty: none
    std::string timestampUrl;  // empty: no timestamp, and no network
    // The signing time written into the signature. Unset: SOURCE_DATE_EPOCH
    // when set, else the start of the certificate's validity, so that the
    // same inputs give the same bytes.
    std::optional<int64_t> signingTime;
};

struct SignatureInfo {
    bool isSigned = false;
    bool checked = false;  // osslsigncode looked at it
    std::string signer;    // the signer certificate's subject
    std::string issuer;
    bool intact = false;      // the file's bytes are the ones signed
    bool broken = false;      // they are not: changed after signing
    bool trusted = false;     // the certificate chains to a root this machine trusts
    bool timestamped = false;
    std::string problem;  // osslsigncode's reason when not intact or not trusted
};

// Signs, then verifies what it signed: false with an error finding when
// either fails. scratch: a folder for the tools' output.
bool SignProgram(const std::string& input, const std::string& output, const SignOptions& options,
                 const std::string& scratch, Findings& findings, SignatureInfo* verified);
SignatureInfo InspectSignature(const std::string& path, const std::string& scratch, Findings& findings);
// check's findings about setup.exe's signature.
void ReportSignature(const SignatureInfo& info, const std::string& where, Findings& findings);

}  // namespace stubmedia
