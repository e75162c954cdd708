#include "platform/kwin/kwin_desktop.h"
