"""The routes of a config router in registration order: method, path, handler name, response
model, and the description OpenAPI shows (the handler's doc text)."""

# fmt: off
ROUTES = [
    ("GET", "/", "get_full_config", None,
     "Read the entire configuration.\nReturns the current active config from ConfigStore."),
    ("PUT", "/", "replace_config", None,
     "Replace the entire configuration.\nCreates a new version in the database."),
    ("PATCH", "/", "update_config", None,
     "Merge provided keys into the configuration.\nCreates a new version in the database.\n\n"
     'Example: {"logging": {"level": "DEBUG"}, "debug": true}'),
    ("POST", "/reload", "reload_config", "ConfigReloadResponse",
     "Reload configuration from database.\nClears cache and fetches the latest version."),
    ("GET", "/{section}", "get_section", None,
     "Read a specific section of the config.\nExample: /config/clickhouse"),
    ("PUT", "/{section}", "replace_section", None,
     "Replace a specific section of the config.\n"
     'Example: PUT /config/clickhouse with {"host": "localhost", ...}'),
    ("DELETE", "/{section}", "delete_section", None,
     "Delete a specific section from the config.\nNot recommended for required sections!"),
    ("GET", "/versions", "get_config_versions", "ConfigVersionsResponse",
     "Fetch all config versions from database.\nShows version history with timestamps."),
    ("GET", "/versions/{version}", "get_config_by_version", "ConfigVersionDetailResponse",
     "Fetch a specific config version from database.\n"
     "Does NOT apply it - just shows what that version contains."),
    ("PUT", "/versions/{version}", "update_config_version", None,
     "Update a specific version in-place (advanced operation).\n"
     "Modifies the version in the database without creating a new version."),
    ("PATCH", "/versions/{version}", "patch_config_version", None,
     "Patch a specific version in-place (advanced operation).\n"
     "Merges changes into the version in the database."),
    ("POST", "/versions", "create_new_version", None,
     "Create a new version (version + 1) by snapshotting current config.\n"
     "Use this to create rollback points before major changes."),
    ("POST", "/versions/{version}/restore", "restore_version", None,
     "Restore configuration from a previous version.\n"
     "Writes the old version's payload into the current latest version."),
    ("GET", "/database/current", "get_current_database_config", None,
     "Fetch the current config directly from database (latest version).\n"
     "This is what will be loaded on next server restart/reload."),
]
# fmt: on
