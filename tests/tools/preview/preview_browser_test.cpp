#include "tools/preview/preview_fixture.h"
