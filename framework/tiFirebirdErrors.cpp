#include <ibase.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "framework/tiFirebirdInternal.h"

// Error texts: the engine's messages and codes, the system's, and which engine errors mean a lost attachment.

namespace kelvado {

bool EtiFBException::ConnectionLost() const noexcept {
  switch (errorCode_) {
    case isc_network_error:
    case isc_net_read_err:
    case isc_net_write_err:
    case isc_lost_db_connection:
    case isc_conn_lost:
    case isc_att_shutdown:
    case isc_shutdown:
      return true;
    default:
      return false;
  }
}

namespace fbi {

std::string ErrnoText() { return std::strerror(errno); }

std::string EngineText(const fb::FbException& e) {
  char buf[4096];
  Master()->getUtilInterface()->formatStatus(buf, sizeof buf, e.getStatus());
  std::string s = buf;
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

long EngineCode(const fb::FbException& e) {
  const intptr_t* v = e.getStatus()->getErrors();
  return (v && v[0] == isc_arg_gds) ? static_cast<long>(v[1]) : 0;
}

std::string Shorten(const std::string& s, size_t max) {
  std::string t = s;
  std::replace(t.begin(), t.end(), '\n', ' ');
  std::replace(t.begin(), t.end(), '\r', ' ');
  if (t.size() > max) t = t.substr(0, max) + "...";
  return t;
}

}  // namespace fbi
}  // namespace kelvado
