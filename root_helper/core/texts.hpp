// Every text a user or the graphical application sees, in one place.
#pragma once

#include <string>
#include <string_view>

namespace tq8::texts {

// Command runner
inline constexpr std::string_view kRunFailurePrefix = "Komut çalıştırma hatası (";

// Kill switch
inline constexpr std::string_view kKillswitchOffCmd = "iptables -X TQ8_KILLSWITCH";
inline constexpr std::string_view kKillswitchOff = "Kill Switch devre dışı bırakıldı.";

// MTU
inline constexpr std::string_view kMssClampCmd = "iptables MSS clamp-to-pmtu";

// Emergency reset
inline constexpr std::string_view kFlushCmd = "iptables flush TQ8_KILLSWITCH & TCPMSS";
inline constexpr std::string_view kFlushed = "Temizlendi";
inline constexpr std::string_view kRelinkCmd =
    "ln -sf /run/systemd/resolve/stub-resolv.conf /etc/resolv.conf";
inline constexpr std::string_view kRelinked = "Orijinal systemd-resolved bağlantısı onarıldı.";
inline constexpr std::string_view kWriteResolvCmd = "write /etc/resolv.conf";
inline constexpr std::string_view kWrittenFallback = "Cloudflare & Quad9 DNS yazıldı.";
inline constexpr std::string_view kRestoreResolvCmd = "restore /etc/resolv.conf";

// DNS guard
inline constexpr std::string_view kGuardReady = "HAZIR";
inline constexpr std::string_view kGuardNoResolved =
    "HATA: Bu sistem systemd-resolved (127.0.0.53) kullanmıyor; DNS sipranı bu dağıtımda "
    "desteklenmiyor.";
inline constexpr std::string_view kGuardNoIptables =
    "HATA: iptables bulunamadı (sudo apt install iptables).";
inline constexpr std::string_view kGuardNoShield =
    "HATA: Sipran DNS çözümleyicisi (127.0.0.1:5354) çalışmıyor.";
inline constexpr std::string_view kGuardInsertFailedPrefix = "HATA: yönlendirme kurulamadı: ";

// Front end
inline constexpr std::string_view kUnknownAction = "Bilinmeyen işlem";
inline constexpr std::string_view kParserDescription = "TQ8 Sipran Root Helper";

}  // namespace tq8::texts
