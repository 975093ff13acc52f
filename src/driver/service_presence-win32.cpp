#include <windows.h>

#include "driver/service_presence.h"

bool ServiceExists(const std::wstring& name) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return false;
  SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_QUERY_STATUS);
  const bool exists = service != nullptr;
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return exists;
}
