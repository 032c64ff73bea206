"""tools/publish: publishing builds for the launcher and checking servers."""
