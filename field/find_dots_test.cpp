#include <gtest/gtest.h>

#include "field/field.h"
