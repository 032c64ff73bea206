#pragma once
// The built-in addresses, fixed when the launcher is built (VORN_SERVER_URL,
// VORN_COMMUNITY_URL) and never read at run time.

const wchar_t* OnlineManifestUrl();
const wchar_t* OfficialManifestUrl();
const wchar_t* CommunityPageUrl();
