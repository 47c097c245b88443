// Copying a camera's parameter files and its system log to a local folder
// over FTP. What each file gave is told only in the control log.
#include "ftp_params.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "context.h"
#include "control.h"
#include "errors.h"
#include "log.h"
#include "platform/ftp.h"

namespace {

constexpr uint16_t kFtpPort = 21;
constexpr const char* kRemoteFolder = "/mnt/program/";
// Longer folder texts name no usable folder; nothing past this is read.
constexpr size_t kMaxFolderText = 4096;

// Cameras of type 3 keep their parameters as JSON files under their own account.
constexpr const char* kJsonFiles[] = {"dsp.json", "dm368SystemParam.json", "netctrqx5.json", "ifconfig.json",
                                      "system.log"};
constexpr const char* kParaFiles[] = {"0000.para", "dm368SystemParam.para", "netcontrolqx5.para", "ifconfig.cfg",
                                      "system.log"};

// A file that passes either limit fails as one that cannot be read.
std::atomic<int> g_transferMs{pf::FtpClient::Timeouts{}.transferMs};
std::atomic<uint64_t> g_maxFileBytes{pf::FtpClient::Timeouts{}.maxFileBytes};

}  // namespace

void qelm::test::SetFtpFileLimits(int transferMs, uint64_t maxBytes) {
  g_transferMs.store(transferMs);
  g_maxFileBytes.store(maxBytes);
}

using namespace qelm;

extern "C" {

QELM_API int QELM_CALL Qelm_FTPReadParams(StCameraHandle* handle, const char* folder, intptr_t unused) {
  if (!handle || !folder) return ERR_PARAM;
  const size_t folderLen = strnlen(folder, kMaxFolderText);
  if (folderLen == kMaxFolderText) return ERR_PARAM;
  const std::string localFolder(folder, folderLen);

  CForGlobal& g = Global();
  uint32_t ip = 0, deviceType = 0;
  {
    pf::Lock lk(g.m_csCamera);
    if (std::find(g.m_listCamera.begin(), g.m_listCamera.end(), handle) == g.m_listCamera.end())
      return ERR_NO_DEVICE;
    ip = handle->m_ip;
    deviceType = handle->m_deviceType.load();
  }

  const bool json = deviceType == 3;
  pf::FtpClient::Timeouts limits;
  limits.transferMs = g_transferMs.load();
  limits.maxFileBytes = g_maxFileBytes.load();
  pf::FtpClient ftp(limits);
  if (!ftp.Connect(ip, kFtpPort, json ? "mnt" : "qv", json ? "qorvild" : "zx")) return ERR_FTP_CONNECT;

  for (const char* name : json ? kJsonFiles : kParaFiles) {
    const bool ok = ftp.Get(std::string(kRemoteFolder) + name, localFolder + "/" + name);
    WriteLog(std::string("读取") + name + (ok ? "成功" : "失败"));
  }
  ftp.Close();
  return ERR_SUCCESS;
}

}  // extern "C"
