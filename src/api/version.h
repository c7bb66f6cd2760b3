// Versions reported to hosts and written into log headers.
#pragma once

constexpr char dll_ver[] = "2.0.0.213";
constexpr char api_ver[] = "04.04";
