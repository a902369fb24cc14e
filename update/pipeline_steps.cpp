#include "update/client_service.h"
#include "update/copy_phase.h"
#include "update/extract_packages.h"
#include "update/index_request.h"
#include "update/installed_check.h"
#include "update/meta_integrity.h"
#include "update/run_update.h"
#include "update/sync_zip.h"

const PipelineSteps kPipelineSteps{
    run_setup_index_data, meta_json_integrity, check_installed_files, sync_zip_packages,
    extract_packages,     copy_phase,          check_zantho_service,
};
