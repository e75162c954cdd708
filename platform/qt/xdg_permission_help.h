#pragma once

#include "platform/log/log.h"
#include "platform/status_user_interface.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace velmora {

// Opens the host's help page for a permission with the desktop's opener (xdg-open), at the
// permission's anchor. Whether the help "came to the front" is judged from the opener: still
// running (a browser started in the foreground) or finished successfully.
class XdgPermissionHelp final : public PermissionHelp {
 public:
  // `opener`: the program (looked up in PATH) and any leading arguments; the address comes last.
  explicit XdgPermissionHelp(std::filesystem::path helpPage, std::vector<std::string> opener = {"xdg-open"});
  ~XdgPermissionHelp() override;
  XdgPermissionHelp(const XdgPermissionHelp&) = delete;
  XdgPermissionHelp& operator=(const XdgPermissionHelp&) = delete;

  void open(PermissionKind permission) override;
  bool lastOpenCameToFront() override;

  // file:// address of the page (made absolute, percent-encoded) with the permission's anchor.
  static std::string helpAddress(const std::filesystem::path& helpPage, PermissionKind permission);

 private:
  struct Opener;  // shared with the thread that waits for the opener to finish

  const log::Logger logger_{"App"};
  const std::filesystem::path helpPage_;
  const std::vector<std::string> opener_;
  std::shared_ptr<Opener> lastOpener_;
};

}  // namespace velmora
