#include "platform/kwin/kwin_input_backend.h"
