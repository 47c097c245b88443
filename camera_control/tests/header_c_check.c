/* The public header is C: it compiles as C90, with the sizes of the records
 * that callers share with the library. */
#include "Qelm_Control.h"

#define QELM_SIZE_CHECK(name, cond) typedef char name[(cond) ? 1 : -1]

QELM_SIZE_CHECK(camera_info_is_536, sizeof(StCameraInfo) == 536);
QELM_SIZE_CHECK(factory_info_is_38, sizeof(StDeviceFactoryInfo) == 38);
QELM_SIZE_CHECK(net_params_is_16, sizeof(StNetParams) == 16);
QELM_SIZE_CHECK(update_file_info_is_5196, sizeof(StUpdateFileInfo) == 5196);
QELM_SIZE_CHECK(raw_command_is_976, sizeof(StRawCommand) == 976);
QELM_SIZE_CHECK(storage_info_is_16, sizeof(StStorageInfo) == 16);
QELM_SIZE_CHECK(factory_info_ex_is_104, sizeof(StFactoryInfoEx) == 104);
QELM_SIZE_CHECK(clip_selection_is_168, sizeof(StClipSelection) == 168);
/* The room a caller gives Qelm_GetXMLFileInfo, sized by the header's constants. */
typedef char xml_file_paths[QELM_XML_FILES_MAX][QELM_XML_PATH_SIZE];
QELM_SIZE_CHECK(xml_file_paths_fit, sizeof(xml_file_paths) == 30 * 512);

int qelm_header_c_check(void) { return (int)sizeof(StCameraInfo); }
