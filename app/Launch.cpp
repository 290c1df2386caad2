#include "app/Launch.h"

#include <cstdio>

#include "data/DataFolders.h"
#include "data/KeyValueLine.h"
#include "data/Text.h"
#include "platform/CommandLine.h"
#include "platform/Platform.h"

namespace App {

namespace {

void StartAndWait(const std::string& file, const std::string& runPath,
                  const std::string& parameters, int show, const std::function<void()>& repaint) {
    Sys::StartRequest request;
    request.file = file;
    request.runPath = runPath;
    request.parameters = parameters;
    request.verb = Sys::Current().ElevationFlag() ? "runas" : "";
    request.show = show;
    request.wait = true;
    auto handle = Sys::Current().Start(request);
    if (!handle) return;
    while (!handle->Wait(500)) {
        if (repaint) repaint();
    }
}

}  // namespace

void RunAndWait(const std::string& file, const std::string& parameters, int show,
                const std::function<void()>& repaint) {
    StartAndWait(file, std::string(), parameters, show, repaint);
}

void RunVerifiedAndWait(const Transfer::VerifiedCopy& installer, const std::string& parameters,
                        int show, const std::function<void()>& repaint) {
    StartAndWait(installer.Source(), installer.Path(), parameters, show, repaint);
}

std::string TaxProgramParameters(const std::string& commandLine) {
    std::string parameters;
    // Not at the very start: that is the program's own path.
    size_t n = Sys::FindWord(commandLine, "/N", 1);
    if (n != std::string::npos) {
        std::string server = Data::RemoveAll(commandLine.substr(n + 2), '"');
        parameters = " /N " + Data::StripBoth(server, " ");
    }
    parameters += " /mru";
    return parameters;
}

void LaunchTaxProgram() {
    Sys::Platform& sys = Sys::Current();
    std::string folder = sys.CurrentFolder();
    std::remove((folder + "/download.cfg").c_str());
    std::remove((folder + "/purchase.cfg").c_str());

    Sys::StartRequest request;
    request.file = sys.OwnExecutableFolder() + "/Tessra.exe";
    request.parameters = TaxProgramParameters(sys.CommandLine());
    request.verb = "";  // the tax program never runs with raised rights
    request.show = kShow;
    request.wait = false;
    sys.Start(request);
}

std::string ProductCodeFilePath(const std::string& code) {
    return Data::CommonDataPath(code + ".txt");
}

std::string StateInstallerPath(const std::string& code) {
    return Data::CommonDataPath("Downloads/Tessra" + code + ".exe");
}

bool UninstallParameters(const std::string& code, std::string& parameters) {
    auto pieces = Data::LinePieces::Open(ProductCodeFilePath(code), Data::kTypedPieceChars);
    if (!pieces) return false;
    parameters = "/x";
    // Each piece loses its trailing line feeds before it is appended: the same
    // text as stripping the whole after every piece (what precedes never ends
    // in a line feed), in time linear in the file's size.
    for (const auto& piece : *pieces) {
        const size_t keep = piece.find_last_not_of('\n');
        if (keep != std::string::npos) parameters.append(piece, 0, keep + 1);
    }
    parameters += " /passive";
    return true;
}

bool UninstallState(const std::string& code) {
    std::string parameters;
    if (!UninstallParameters(code, parameters)) return false;
    RunAndWait("msiexec.exe", parameters, kShow);
    return true;
}

void ReinstallState(const std::string& code) {
    RunAndWait(StateInstallerPath(code), "/v\"RUN=/G\"", kShow);
}

}  // namespace App
