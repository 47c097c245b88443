#include "callbacks.h"

#include <cstring>

#include "mainwindow.h"

void PYRN_CALL BoxSearchCallback(StSearchResult* result) {
  if (!result) return;
  StSearchResult* copy = new StSearchResult;
  memcpy(copy, result, sizeof *copy);
  PostDeviceFound(copy);
}

void QELM_CALL CameraSearchCallback(StCameraInfo* info) {
  if (!info) return;
  StSearchResult* copy = new StSearchResult;
  InitSearchResult(copy);
  SearchResultFromCamera(*info, copy);
  PostDeviceFound(copy);
}

void NARDIX_CALL LprScanCallback(void*, StLprDeviceInfo* info) {
  if (!info) return;
  StSearchResult* copy = new StSearchResult;
  InitSearchResult(copy);
  SearchResultFromLpr(*info, copy);
  PostDeviceFound(copy);
}
