#pragma once
// How the "CB" store reaches the clipboard. The clipboard monitor lives above the framework (storage/xml); it
// implements this port and installs it, so the framework never depends on it. Without a port installed (no
// monitor, or one shut down) the store keeps its document to itself.
#include <string>

namespace kelvado {

class ItiCBStorePort {
public:
  virtual ~ItiCBStorePort() = default;
  // The clipboard text the store takes as its document when it reads (connect, rollback); false when there is
  // none to take now.
  virtual bool ReadClipboardText(std::string& text) = 0;
  // The document a commit changed, for the clipboard.
  virtual void WriteClipboardText(const std::string& text) = 0;
};

// The installed port (not owned); null removes it.
void tiSetCBStorePort(ItiCBStorePort* port);
ItiCBStorePort* tiCBStorePort();

}  // namespace kelvado
