// String table ids of the program's own module.
#pragma once

#define IDS_CAPTION_WARNING       101
#define IDS_QUESTION_SHUTDOWN     102
#define IDS_QUESTION_AUTOSHUTDOWN 103
