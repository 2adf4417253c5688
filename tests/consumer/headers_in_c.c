/* Every public header compiles as C. */
#include "vora_base_type.h"
#include "vora_globals.h"
#include "vora_gvcp_records.h"
#include "vora_pixel_format.h"
#include "vora_qelcamera_api.h"

int vora_consumer_c_sizes(void)
{
    return (int)(sizeof(PhotoInfo) + sizeof(ReadRegCmdPack));
}
