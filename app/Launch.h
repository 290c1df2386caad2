#pragma once
// Starting installers and waiting for them, and starting the tax program again.

#include <functional>
#include <string>

#include "download/InstallerCheck.h"

namespace App {

// Show commands of a start request.
inline constexpr int kShowNormal = 1;
inline constexpr int kShow = 5;

// Starts the program (verb "runas" when the elevation flag is set) and returns
// when it has ended, calling `repaint` after every 500 ms of waiting. A start
// that fails returns at once, without a message.
void RunAndWait(const std::string& file, const std::string& parameters, int show,
                const std::function<void()>& repaint = {});

// Runs a downloaded installer as RunAndWait does, from its private checked
// copy: the transcript names the download, the copy is what starts.
void RunVerifiedAndWait(const Transfer::VerifiedCopy& installer, const std::string& parameters,
                        int show, const std::function<void()>& repaint = {});

// " /N <server and switches>" (quotes removed) when the command line holds a
// "/N" switch, then " /mru".
std::string TaxProgramParameters(const std::string& commandLine);

// Deletes download.cfg and purchase.cfg in the current folder and starts the
// tax program from the folder of this program's executable; does not wait.
void LaunchTaxProgram();

// State modules (reinstall mode).
std::string ProductCodeFilePath(const std::string& code);
std::string StateInstallerPath(const std::string& code);
// "/x" + the product-code file's lines joined + " /passive"; false when the file cannot be read.
bool UninstallParameters(const std::string& code, std::string& parameters);
// Runs the package installer's removal; false (and nothing started) when the
// product-code file cannot be read.
bool UninstallState(const std::string& code);
void ReinstallState(const std::string& code);

}  // namespace App
