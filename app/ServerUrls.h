#pragma once
// The built-in addresses and update keys, fixed when the launcher is built
// (VORN_SERVER_URL, VORN_COMMUNITY_URL, VORN_UPDATE_KEYS) and never read at
// run time.

const wchar_t* OnlineManifestUrl();
const wchar_t* OfficialManifestUrl();
const wchar_t* CommunityPageUrl();
const wchar_t* LauncherManifestUrl();
// The public keys the manifests are signed with, separated by blanks; empty
// for a launcher that takes manifests unsigned.
const char* BuiltInUpdateKeys();
