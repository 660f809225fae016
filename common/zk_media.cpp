#include "zk_media.h"

extern "C" {
#include <libavutil/error.h>
}

QString avErrStr(int code)
{
    char buffer[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(code, buffer, sizeof(buffer));
    return QString::fromUtf8(buffer);
}
