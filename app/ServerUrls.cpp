#include "app/ServerUrls.h"

const wchar_t* OnlineManifestUrl() {
    return L"" VORN_SERVER_URL "/Launcher/version.json";
}

const wchar_t* OfficialManifestUrl() {
    return L"" VORN_SERVER_URL "/Launcher/version_offline.json";
}

const wchar_t* LauncherManifestUrl() {
    return L"" VORN_SERVER_URL "/Launcher/launcher.json";
}

const wchar_t* CommunityPageUrl() {
    return L"" VORN_COMMUNITY_URL;
}

const char* BuiltInUpdateKeys() {
    return VORN_UPDATE_KEYS;
}
