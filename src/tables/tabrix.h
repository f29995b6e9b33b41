// The in-memory table library: column values, containers and notifications,
// table data and the XML loader, the criteria parser and row selection.
#pragma once

#include "tables/column_value.h"
#include "tables/containers.h"
#include "tables/criteria.h"
#include "tables/notification.h"
#include "tables/result_data.h"
#include "tables/table_data.h"
