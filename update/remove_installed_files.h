// The /del mode: every path of the stored installed-file list deleted, then packages/ and zantho.old.exe.
#pragma once

// Deletes nothing when the stored list cannot be opened or its root is not a JSON object.
void remove_installed_files();
