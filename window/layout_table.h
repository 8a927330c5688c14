#pragma once

#include <array>
#include <string_view>

// Every position and size in twips, relative to the client area's top-left corner.
inline constexpr int twips_per_pixel = 15;
inline constexpr int design_client_width = 4470;
inline constexpr int design_client_height = 2250;
inline constexpr float caption_height = 345.0f; // title bar and top border above the client area
inline constexpr float collapsed_height = 855.0f;
inline constexpr float expanded_height = 2595.0f;

enum class control_kind { button, text_box, label };

struct control_row {
    std::string_view name;
    control_kind kind;
    int left, top, width, height;
    std::string_view text;
    std::string_view buddy = {}; // of a label: the text box it names, for a screen reader
};

// In tab-index order; the transfer component Inet1 has no place on screen. Captions, labels and
// initial texts read the same in every language: none of them goes through tr().
inline constexpr std::array<control_row, 14> layout_table{{
    {"btn_copy", control_kind::button, 2280, 60, 1635, 315, "nach FTP kopieren"},
    {"txt_page", control_kind::text_box, 60, 60, 2115, 315, "aktuell_home.php"},
    {"txt_ftp_server", control_kind::text_box, 1080, 660, 2295, 255, "ftp://ftp.example.com"},
    {"btn_edit", control_kind::button, 3960, 60, 435, 315, "Edit"},
    {"txt_ftp_user", control_kind::text_box, 1080, 960, 2295, 255, "webmaster"},
    {"txt_ftp_password", control_kind::text_box, 1080, 1260, 2295, 255, "wolkenbus7"},
    {"Label1", control_kind::label, 0, 660, 1035, 255, "FTP - Server", "txt_ftp_server"},
    {"Label2", control_kind::label, 0, 960, 1035, 255, "User Name", "txt_ftp_user"},
    {"Label3", control_kind::label, 0, 1260, 1035, 255, "Passwort", "txt_ftp_password"},
    {"txt_localdir", control_kind::text_box, 1080, 1560, 2295, 255, "C:\\Internet\\"},
    {"Label4", control_kind::label, 0, 1560, 1035, 255, "Local Dir", "txt_localdir"},
    {"txt_ftpdir", control_kind::text_box, 1080, 1860, 2295, 255, "/www/"},
    {"Label5", control_kind::label, 0, 1860, 1035, 255, "FTP Dir", "txt_ftpdir"},
    {"btn_save", control_kind::button, 3600, 1800, 735, 315, "Save"},
}};

// Device-independent pixels; the design's values are all whole multiples of 15.
constexpr int twips_to_pixels(float twips) {
    return static_cast<int>(twips / twips_per_pixel + 0.5f);
}
