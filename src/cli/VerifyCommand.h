#pragma once

// quarvel-cli verify: compares the node with what the server holds, per kind and tag, and
// prints what is missing and why. convert --verify runs it after the conversion.

#include "cli/Command.h"
#include "cli/ServerOptions.h"
#include "session/Verify.h"

#include <string>

namespace quarvel {

// Prints the comparison on the standard output: per kind the tags complete, short, missing
// and only in the server, the points, and the tags with the most missing points.
void PrintVerification(const Verification& result);

// Writes one CSV row per kind and tag (per stretch missing) with every figure. False with `error` when it cannot.
bool WriteVerificationReport(const Verification& result, const std::string& path, std::string& error);

// What a repair did: the lines of Logs/unsent posted again, and per tag "repaired" or what
// is still short and why, by the verification after it.
void PrintRepair(const Repairing& repairing, const Verification& result);

// The summary as JSON text; with `repairing`, what the repair did under "repair".
std::string VerificationJson(const Verification& result, const Repairing* repairing = nullptr);

class VerifyCommand : public Command {
public:
    explicit VerifyCommand(CLI::App& app);  // adds "verify"
    int Run() const override;

private:
    NodeOptions m_told;
    std::string m_report;
    bool m_json = false;
    bool m_values = false;
    bool m_repair = false;
};

}  // namespace quarvel
