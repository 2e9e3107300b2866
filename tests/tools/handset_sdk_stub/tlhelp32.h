// Stand-in for the handset SDK header of the same name (see windows.h here).
#pragma once
