/* Resource ids shared by zantho.rc and the launcher's code. */
#pragma once

#define IDD_UPDATE 104
#define IDI_ZANTHO 106
#define IDC_UPDATE_PROGRESS 1001
#define IDC_UPDATE_PHASE 1005
