// Every text a user or the graphical application sees, in one place. A log entry's "cmd" is
// the joined argument vector of the command it ran wherever that is what it shows; only the
// labels that name a step rather than one command (or that show the caller's path in place of
// the private copy the command ran on) are spelled here.
#pragma once

#include <string>
#include <string_view>

namespace tq8::texts {

// Command runner
inline constexpr std::string_view kRunFailurePrefix = "Komut çalıştırma hatası (";
inline constexpr std::string_view kRunEmptyCommand = "çalıştırılacak komut boş";
inline constexpr std::string_view kRunNulInArgument = "argümanlardan biri NUL baytı içeriyor";
inline constexpr std::string_view kRunStdout = "standart çıktı";
inline constexpr std::string_view kRunStderr = "standart hata";
inline std::string run_timed_out(std::string_view command, std::string_view seconds) {
    return "zaman aşımı: '" + std::string(command) + "' komutu " + std::string(seconds) +
           " saniye içinde bitmedi ve sonlandırıldı";
}
inline std::string run_not_utf8(std::string_view stream, std::size_t offset, unsigned byte) {
    static constexpr char kHex[] = "0123456789abcdef";
    return std::string(stream) + " geçerli UTF-8 değil (konum " + std::to_string(offset) + ": 0x" +
           kHex[(byte >> 4) & 0xF] + kHex[byte & 0xF] + " baytı)";
}

// Kill switch
inline constexpr std::string_view kKillswitchOff = "Kill Switch devre dışı bırakıldı.";
// A refused split-tunnel list: the one failed step of a switch-on that changed nothing.
inline constexpr std::string_view kSplitIpsCheckCmd = "split_ips denetimi";
inline std::string split_entry_refused(std::string_view entry) {
    return "Bölünmüş tünel girdisi reddedildi: '" + std::string(entry) +
           "' bir IP adresi veya ağı değil (IPv4: a.b.c.d, a.b.c.d/0-32 ya da a.b.c.d/maske, "
           "başında sıfır olmadan; IPv6: adres veya adres/0-128). Ad çözümlenmez.";
}
inline std::string split_too_many(std::size_t limit) {
    return "Bölünmüş tünel listesi reddedildi: en fazla " + std::to_string(limit) +
           " girdi verilebilir.";
}

// MTU
inline constexpr std::string_view kMssClampCmd = "iptables MSS clamp-to-pmtu";

// WireGuard tunnel
inline std::string wg_quick_down_cmd(std::string_view conf_path) {
    return std::string("wg-quick down ").append(conf_path);
}
inline std::string wg_quick_up_cmd(std::string_view conf_path) {
    return std::string("wg-quick up ").append(conf_path);
}

// Refusals of the caller's WireGuard configuration: the stderr of a failed wg-quick step.
inline std::string conf_key_refused(std::string_view key) {
    return "Yapılandırma reddedildi: '" + std::string(key) +
           "' anahtarına izin verilmez (PreUp, PostUp, PreDown, PostDown ve SaveConfig root "
           "yetkisiyle komut çalıştırır veya dosya yazar).";
}
inline std::string conf_glob_refused(std::string_view key) {
    return "Yapılandırma reddedildi: '" + std::string(key) +
           "' değeri joker karakter (*, ?, [ veya () içeriyor.";
}
inline std::string conf_unreadable(int err) {
    return "Yapılandırma dosyası reddedildi: kullanıcı bu dosyayı okuyamıyor (errno " +
           std::to_string(err) + ").";
}
inline constexpr std::string_view kConfNotRegular =
    "Yapılandırma dosyası reddedildi: sıradan bir dosya değil.";
inline constexpr std::string_view kConfSystemFs =
    "Yapılandırma dosyası reddedildi: /proc, /sys gibi bir çekirdek dosya sisteminde.";
inline constexpr std::string_view kConfTooLarge =
    "Yapılandırma dosyası reddedildi: çok büyük (en fazla 65536 bayt).";
inline std::string conf_read_failed(int err) {
    return "Yapılandırma dosyası okunamadı: okuma tamamlanamadı (errno " + std::to_string(err) +
           ").";
}
inline std::string conf_copy_failed(std::string_view what) {
    return "Yapılandırmanın root'a özel kopyası hazırlanamadı: " + std::string(what);
}

// Emergency reset
inline std::string flush_cmd(std::string_view chain) {
    return "iptables flush " + std::string(chain) + " & TCPMSS";
}
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

// Front end and the module's run_cmd: the texts only the Python face shows, as the source of
// the dict `_T` its text reads them from (the exec slot adds the two the C++ runner shares).
// argparse's own words, in Turkish, are under "argparse": argparse looks its module-global `_`
// (and `ngettext`) up each time it needs a text, so the front end swaps them for one parse.
// The run_cmd texts that end in a type's name are written without it.
inline constexpr char kFaceTexts[] = R"py({
    "description": "TQ8 Sipran Root Helper",
    "action": "yapılacak işlem",
    "iface": "MTU'su ayarlanacak ağ arayüzü (varsayılan: %(default)s)",
    "mtu": "MTU değeri (varsayılan: %(default)s)",
    "enable": "Kill Switch'i açar",
    "disable": "Kill Switch'i kapatır (--enable ile birlikte verildiğinde de)",
    "wg_action": "WireGuard tünelini başlatır (up) veya durdurur (down)",
    "conf": "WireGuard yapılandırma dosyasının yolu",
    "split_ips": "Kill Switch'in serbest bırakacağı adresler veya ağlar, virgülle ayrılmış",
    "not_a_list": "komut bir str listesi olmalı, verilen: ",
    "item_not_str": "komutun her öğesi str olmalı, verilen: ",
    "timeout_type": "timeout int, float ya da None olmalı, verilen: ",
    "timeout_nan": "timeout NaN olamaz",
    "argparse": {
        "usage: ": "kullanım: ",
        "positional arguments": "konumsal argümanlar",
        "options": "seçenekler",
        "show this help message and exit": "bu yardım mesajını gösterir ve çıkar",
        "argument %(argument_name)s: %(message)s": "argüman %(argument_name)s: %(message)s",
        "%(prog)s: error: %(message)s\n": "%(prog)s: hata: %(message)s\n",
        "the following arguments are required: %s": "şu argümanlar gerekli: %s",
        "one of the arguments %s is required": "şu argümanlardan biri gerekli: %s",
        "unrecognized arguments: %s": "tanınmayan argümanlar: %s",
        "not allowed with argument %s": "%s argümanıyla birlikte kullanılamaz",
        "ignored explicit argument %r": "bu seçenek değer almaz: %r",
        "expected one argument": "bir değer bekleniyor",
        "expected at most one argument": "en fazla bir değer bekleniyor",
        "expected at least one argument": "en az bir değer bekleniyor",
        "expected %s argument": "%s değer bekleniyor",
        "expected %s arguments": "%s değer bekleniyor",
        "ambiguous option: %(option)s could match %(matches)s":
            "belirsiz seçenek: %(option)s şunlardan biri olabilir: %(matches)s",
        "unexpected option string: %s": "beklenmeyen seçenek: %s",
        "invalid %(type)s value: %(value)r": "geçersiz %(type)s değeri: %(value)r",
        "invalid choice: %(value)r (choose from %(choices)s)":
            "geçersiz seçim: %(value)r (seçenekler: %(choices)s)",
    },
})py";

// The guard's start and end in the audit trail
inline constexpr std::string_view kGuardNoteStarting = "başlatılıyor";
inline constexpr std::string_view kGuardNoteError = "bitti: hata";
inline constexpr std::string_view kGuardNoteReaderGone = "bitti: çıktı kapandı";
inline constexpr std::string_view kGuardNoteDone = "bitti";
inline std::string guard_note_signal(int signal) { return "bitti: sinyal " + std::to_string(signal); }
inline std::string guard_note_not_started(int result) {
    return "başlamadı: sonuç " + std::to_string(result);
}

}  // namespace tq8::texts
