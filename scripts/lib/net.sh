# shellcheck shell=bash
# shellcheck disable=SC2034  # the variables are for the scripts that source this
# A venue in two network namespaces: the service side and the LAN with the
# set-top boxes, joined by a veth pair. Nothing is routed out of either one,
# so broadcasts and multicasts stay between them.

KORVEL_NET_SVC_IFACE=veth-svc
KORVEL_NET_LAN_IFACE=veth-lan
KORVEL_NET_PREFIX=24
KORVEL_NET_SVC_ADDR=10.77.0.1
KORVEL_NET_BCAST=10.77.0.255
KORVEL_NET_LAN_ADDR=10.77.0.2
KORVEL_NET_BOX_ADDRS="10.77.0.11 10.77.0.12 10.77.0.13"

# korvel_netns_venue SVC_NS LAN_NS: create both namespaces and wire them up.
# On failure the caller deletes what exists (korvel_netns_delete).
korvel_netns_venue() {
    local svc=$1 lan=$2 si=$KORVEL_NET_SVC_IFACE li=$KORVEL_NET_LAN_IFACE addr
    ip netns add "$svc" || return 1
    ip netns add "$lan" || return 1
    # Created inside the service namespace, peer moved straight into the LAN
    # one: the fixed interface names never exist on the host.
    ip -n "$svc" link add "$si" type veth peer name "$li" netns "$lan" || return 1

    ip -n "$svc" addr add "$KORVEL_NET_SVC_ADDR/$KORVEL_NET_PREFIX" brd + dev "$si" || return 1
    ip -n "$lan" addr add "$KORVEL_NET_LAN_ADDR/$KORVEL_NET_PREFIX" brd + dev "$li" || return 1
    for addr in $KORVEL_NET_BOX_ADDRS; do
        ip -n "$lan" addr add "$addr/$KORVEL_NET_PREFIX" brd + dev "$li" || return 1
    done

    local ns dev
    for ns in "$svc" "$lan"; do
        [[ $ns == "$svc" ]] && dev=$si || dev=$li
        ip -n "$ns" link set lo up || return 1
        ip -n "$ns" link set "$dev" up || return 1
        # Without a default route the kernel has nowhere to send multicast
        # or 255.255.255.255; point both at the veth, and nothing else.
        ip -n "$ns" route add 224.0.0.0/4 dev "$dev" || return 1
        ip -n "$ns" route add 255.255.255.255/32 dev "$dev" || return 1
    done
}

# korvel_netns_delete NS...: delete the namespaces that exist (veth goes with them).
korvel_netns_delete() {
    local ns
    for ns in "$@"; do
        [[ -n $ns ]] || continue
        if ip netns list | grep -qw -- "$ns"; then
            ip netns del "$ns" || echo "net: could not delete namespace $ns" >&2
        fi
    done
}
