// Creating, deleting and configuring a service by name, and granting the account "GUEST" rights on it.
// Each reports only through console lines on standard output.
#pragma once

void install_service(const char* service_name, const char* program_path);
void delete_service(const char* service_name);
void disable_service(const char* service_name);
void enable_service(const char* service_name);
void update_service_description(const char* service_name);
void query_service_config(const char* service_name);
void update_service_dacl(const char* service_name);
