// The maker's addresses that the Help menu and the About box open, and the
// texts of the About box that name the maker.
#pragma once

inline constexpr const char* MakerWebSite = "http://www.quentar.example/tavrin/";
inline constexpr const char* MakerMailLink = "mailto:tavrin@quentar.example";
// Where the About box's second logo leads: the project's source page.
inline constexpr const char* MakerSourceSite = "http://www.quentar.example/tavrin/source/";
inline constexpr const char* MakerRightsLine = "Copyright (C) Quentar. All rights reserved.";
