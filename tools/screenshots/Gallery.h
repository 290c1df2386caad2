#pragma once
// Every screen of the Software Manager in each of its variants, built with
// sample data as the flows would build them. Shared by the screenshot tool
// and the screen tests, so both see the same screens.

#include <QString>
#include <functional>

namespace Presentation {
class ScreenFrame;
}

namespace Gallery {

// Called with each screen, prepared (filled in) but not shown; false stops nothing,
// it only marks the walk as failed.
using Visitor = std::function<bool(const QString& name, Presentation::ScreenFrame& screen)>;

// Builds the screens one after another in a scratch data and working folder
// (nothing of the user's own data shows) on the process's platform, and hands
// each to `visit`. True when every screen appeared and every visit succeeded.
bool VisitEveryScreen(const Visitor& visit);

}  // namespace Gallery
