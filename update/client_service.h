// The client-service step: reinstall the client's service through its own program and start it again.
#pragma once

// 0 once the service was started again (whatever the start achieved), 10 when the service program is
// missing, 2 when the shell could not run it.
int check_zantho_service();
