/*
 * A site application in a few lines: starts the three device libraries (with
 * the camera library's control log on), searches the local network once with
 * each, waits a moment for the answers, prints what answered, and quits. C99;
 * it compiles as C++ as well.
 *
 * Built against the installed kit, with CMake (CMakeLists.txt here):
 *   find_package(DeviceKit CONFIG REQUIRED)
 *   target_link_libraries(site_app PRIVATE DeviceKit::Qelm_Control DeviceKit::Nardix DeviceKit::PyrnBox)
 * or with pkg-config:
 *   cc -std=c99 site_app.c $(pkg-config --cflags --libs Qelm_Control Nardix PyrnBox)
 */
#define _POSIX_C_SOURCE 200809L

#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include "Nardix.h"
#include "PyrnBox.h"
#include "Qelm_Control.h"

/* Each library calls back on threads of its own. */
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int cameras, plateCameras, boxes;

static void Found(int* count, const char* format, ...) {
  va_list args;
  va_start(args, format);
  pthread_mutex_lock(&lock);
  ++*count;
  vprintf(format, args);
  pthread_mutex_unlock(&lock);
  va_end(args);
}

/* An address word as the libraries hand it out: first octet in the lowest byte. */
static void Dotted(uint32_t ip, char text[16]) {
  snprintf(text, 16, "%u.%u.%u.%u", (unsigned)(ip & 0xFF), (unsigned)(ip >> 8 & 0xFF),
           (unsigned)(ip >> 16 & 0xFF), (unsigned)(ip >> 24));
}

static void QELM_CALL OnCamera(StCameraInfo* info) {
  char ip[16];
  Dotted(info->ip, ip);
  Found(&cameras, "traffic camera %s %.*s\n", ip, (int)sizeof info->version, info->version);
}

static void NARDIX_CALL OnPlateCamera(void* user, StLprDeviceInfo* info) {
  (void)user;
  Found(&plateCameras, "plate-recognition camera %.*s %.*s\n", (int)sizeof info->ip, info->ip,
        (int)sizeof info->type, info->type);
}

static void PYRN_CALL OnBox(StSearchResult* result) {
  char ip[16];
  Dotted(result->ip, ip);
  Found(&boxes, "controller box %s %.*s\n", ip, (int)sizeof result->version, result->version);
}

int main(void) {
  struct timespec moment = {2, 0};
  int code;
  if ((code = Qelm_RecordControlLog(1)) != 0 || (code = Qelm_InitControl(OnCamera)) != 0 ||
      (code = LPR_Init(1, NULL, OnPlateCamera, NULL, NULL, NULL)) != 0 ||
      (code = PyrnBox_Init(NULL, NULL, NULL, NULL)) != 0) {
    fprintf(stderr, "a library did not start: %d\n", code);
    return 1;
  }
  if ((code = Qelm_SearchCamera()) != 0) fprintf(stderr, "camera search: %d\n", code);
  if ((code = LPR_ScanDevice()) != 0) fprintf(stderr, "plate-recognition camera search: %d\n", code);
  if ((code = PyrnBox_SearchPyrnCore(OnBox)) != 0) fprintf(stderr, "controller box search: %d\n", code);

  while (nanosleep(&moment, &moment) != 0) {
  }

  PyrnBox_Quit();
  LPR_Quit();
  Qelm_Quit();
  pthread_mutex_lock(&lock);
  printf("found %d traffic cameras, %d plate-recognition cameras, %d controller boxes\n", cameras,
         plateCameras, boxes);
  pthread_mutex_unlock(&lock);
  return 0;
}
