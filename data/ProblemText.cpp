#include "data/ProblemText.h"

namespace Data {

namespace {

std::string HelpIntro() {
    return "\n\nFor help troubleshooting download errors, visit our website at \n";
}

std::string UpdateHelpSuffix() { return HelpIntro() + kMakerWebHost + "/update."; }
std::string DownloadsSuffix() { return HelpIntro() + kMakerWebHost + "/downloads/"; }

std::string StandardText(int code) {
    return "A problem was encountered while trying to get your download.\nPlease try again "
           "later.\nProblem number (" +
           std::to_string(code) + ")";
}

}  // namespace

ProblemMessage ProblemFor(int code) {
    switch (code) {
        case 1:   // unsupported protocol
        case 2:   // failed init
        case 3:   // malformed address
        case 5:   // proxy not resolved
        case 6:   // host not resolved
        case 7:   // could not connect
        case 18:  // partial file
        case 22:  // HTTP status 400 or above
        case 28:  // timed out
        case 33:  // range not honoured
        case 47:  // too many redirects
        case 52:  // got nothing
        case 56:  // receive error
        case 63:  // longer than the manifest's size
            return {"Problem Detected", StandardText(code) + UpdateHelpSuffix()};
        case 23:  // local write failure or cancel
            return {"Problem Detected",
                    "A problem was encountered while trying to get your download.\n\nProblem "
                    "number (23)" +
                        DownloadsSuffix()};
        default:
            return {"Unexpected error", "An unexpected error occurred"};
    }
}

}  // namespace Data
