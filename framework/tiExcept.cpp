#include "framework/tiExcept.h"

namespace kelvado {

namespace {
const char kCR = '\r';
const char* kCanNotConnect = "Can not connect to database";
const char* kUserNamePassword = "Invalid username and password combination";

// One "X" per character: a UTF-8 password counts its characters, not its bytes.
std::string MaskedPassword(const std::string& password) {
  size_t n = 0;
  for (unsigned char c : password)
    if ((c & 0xC0) != 0x80) ++n;
  return std::string(n, 'X');
}

std::string DBText(const std::string& perLayerName, const std::string& dbName, const std::string& userName,
                   const std::string& password, const std::string& message) {
  std::string s;
  s += "Database name:       " + dbName + kCR;
  s += "User name:           " + userName + kCR;
  s += "Password:            " + MaskedPassword(password) + kCR;
  s += "Persistence layer:   " + perLayerName;
  if (!message.empty()) s += std::string(2, kCR) + "Message:" + kCR + message;
  return s;
}
}  // namespace

EtiPerDBException::EtiPerDBException(const std::string& perLayerName, const std::string& dbName,
                                     const std::string& userName, const std::string& password,
                                     const std::string& message)
    : EtiPerException(DBText(perLayerName, dbName, userName, password, message)) {}

EtiPerDBException::EtiPerDBException(Prefixed, const std::string& prefix, const std::string& perLayerName,
                                     const std::string& dbName, const std::string& userName,
                                     const std::string& password, const std::string& message)
    : EtiPerException(prefix + DBText(perLayerName, dbName, userName, password, message)) {}

EtiPerDBExceptionCanNotConnect::EtiPerDBExceptionCanNotConnect(const std::string& perLayerName,
                                                               const std::string& dbName,
                                                               const std::string& userName,
                                                               const std::string& password,
                                                               const std::string& message)
    : EtiPerDBException(Prefixed{}, std::string(kCanNotConnect) + std::string(2, kCR), perLayerName, dbName,
                        userName, password, message) {}

EtiPerDBExceptionCanNotConnect::EtiPerDBExceptionCanNotConnect(Prefixed, const std::string& prefix,
                                                               const std::string& perLayerName,
                                                               const std::string& dbName,
                                                               const std::string& userName,
                                                               const std::string& password,
                                                               const std::string& message)
    : EtiPerDBException(Prefixed{}, prefix + kCanNotConnect + std::string(2, kCR), perLayerName, dbName, userName,
                        password, message) {}

EtiPerDBExceptionUserNamePassword::EtiPerDBExceptionUserNamePassword(const std::string& perLayerName,
                                                                     const std::string& dbName,
                                                                     const std::string& userName,
                                                                     const std::string& password,
                                                                     const std::string& message)
    : EtiPerDBExceptionCanNotConnect(Prefixed{}, std::string(kUserNamePassword) + std::string(2, kCR),
                                     perLayerName, dbName, userName, password, message) {}

}  // namespace kelvado
