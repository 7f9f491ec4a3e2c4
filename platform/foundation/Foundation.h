#pragma once

// Everything of the foundation library in one include.

#include "foundation/bundle.h"
#include "foundation/error.h"
#include "foundation/file_manager.h"
#include "foundation/log.h"
#include "foundation/notification_center.h"
#include "foundation/path_utilities.h"
#include "foundation/search_paths.h"
