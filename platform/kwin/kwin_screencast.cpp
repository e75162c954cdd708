#include "platform/kwin/kwin_screencast.h"
