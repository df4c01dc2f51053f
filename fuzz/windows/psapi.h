// Nothing of it is used by what the fuzz targets build (see windows.h).
#pragma once
