#include "platform/kwin/kwin_output_order.h"
