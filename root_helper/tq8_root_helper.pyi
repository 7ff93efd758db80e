"""
TQ8 Sipran — Yetkili Sistem & Ağ Arka Plan Yöneticisi (Root / Polkit Helper)

Bu betik GUI'yi root olarak çalıştırmak yerine yalnızca yetki gerektiren ağ,
WireGuard, MTU, iptables Kill Switch, dnsmasq ve DNS kurtarma işlemlerini
pkexec (Polkit) veya systemd daemon üzerinden güvenli şekilde yürütür ve
tüm stdout/stderr çıktılarını JSON/metin olarak GUI'ye döndürür.
"""

from typing import Dict, List, Optional, Tuple

def run_cmd(cmd: List[str], timeout: int = 15) -> Tuple[int, str, str]:
    """Komutu çalıştırır ve (returncode, stdout, stderr) döndürür."""
    ...

def set_mtu(interface: str, mtu: int) -> Dict[str, object]: ...

def manage_killswitch(
    enable: bool, wg_iface: str = "tq8wg0", split_ips: Optional[List[str]] = None
) -> Dict[str, object]:
    """iptables üzerinde TQ8_KILLSWITCH zinciri ile VPN koptuğunda sızıntıyı engeller."""
    ...

def manage_wireguard(action: str, conf_path: str = "", mtu: int = 1420) -> Dict[str, object]:
    """WireGuard (wg-quick / ip link type wireguard) tünelini başlatır veya durdurur."""
    ...

def emergency_network_reset() -> Dict[str, object]:
    """Ağ ayarları bozulduğunda /etc/resolv.conf, iptables, WireGuard ve DNS önbelleğini sıfırlar."""
    ...

STUB_DNS: str
SHIELD_DNS: str
DNAT_RULE: List[str]
IPT: List[str]

def remove_dns_redirect() -> bool: ...

def _shield_listening() -> bool:
    """127.0.0.1:5354'ü (UDP) parolayı giren kullanıcının süreci mi dinliyor (/proc/net/udp: 0100007F:14EA, uid)."""
    ...

def _shield_answers() -> bool:
    """Çözümleyici gerçekten cevap veriyor mu (donma/SIGSTOP'u da yakalar). Sorgu engelli bir alan için yerelde cevaplanır."""
    ...

def dns_guard() -> int:
    """systemd-resolved stub'ına (127.0.0.53) giden DNS sorgularını Sipran çözümleyicisine yönlendirir.
    Arayüz açık kaldıkça çalışır; stdin kapanınca (arayüz kapandı/çöktü) ya da çözümleyici
    durunca yönlendirmeyi kaldırır — kullanıcı asla DNS'siz kalmaz."""
    ...

def main() -> None: ...
