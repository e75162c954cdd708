#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/display_source.h"
#include "platform/input_backend.h"
#include "platform/portal/portal_session.h"
#include "platform/result.h"
#include "platform/screen_capture_backend.h"
#include "platform/user_defaults.h"

namespace velmora {

// The monitors of a portal session as displays, in the order of its streams, in points, with the
// origin at the main one's lower-left corner and y up: the stream at the layout's origin, else the first. The portal names no monitor
// and gives no scale. A display's ID is derived from the stream's "id" where the portal gives one
// (stable while the same approval is restored), else from its position, so that a restored
// session with the same layout keeps its IDs.
std::vector<ScreenDescription> portalScreens(const std::vector<PortalStream>& streams);

// The platform services of one portal session. The session's monitors are fixed: the portal
// offers no change notification, and a new layout needs a new session (a restart of the host).
struct PortalDesktop {
  std::shared_ptr<DisplaySource> displays;
  std::shared_ptr<ScreenCaptureBackend> capture;
  std::shared_ptr<InputBackend> input;
};

// Opens a session with the restore token kept in `defaults` and keeps the new token there.
Result<PortalDesktop> openPortalDesktop(UserDefaults& defaults, PortalSessionOptions options);

}  // namespace velmora
