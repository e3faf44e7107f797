#!/usr/bin/env bash
# A one-node Slurm cluster on this machine, started and stopped here: an
# array job of `terralume tiles run` over a plan and a merge that depends on
# it, whose output must equal the whole-raster run's byte for byte.
#   slurm_test.sh TERRALUME SOURCE_FOLDER
set -euo pipefail
terralume=$(realpath "$1")
source_folder=$(realpath "$2")

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

for program in munged slurmctld slurmd sbatch squeue scontrol gdalwarp gdal_translate; do
    if ! command -v "$program" >/dev/null; then
        # Not installed: a failure where the cluster can be made (as root),
        # the only skip elsewhere.
        if [ "$(id -u)" -ne 0 ]; then
            echo "SKIP: $program is not installed and this is not root (install slurm-wlm and munge, as .ci/run does)"
            exit 77
        fi
        fail "$program is not installed: install slurm-wlm, munge and gdal-bin (.ci/run)"
    fi
done

work=$(mktemp -d /tmp/terralume-slurm.XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
    set +e
    if [ -n "${SLURM_CONF:-}" ] && [ -f "$SLURM_CONF" ]; then
        scancel --quiet --user="$(id -un)" 2>/dev/null
    fi
    # The daemons started here, by their pid files, each waited for.
    for f in "$work/slurmd.pid" "$work/slurmctld.pid" "$work/munged.pid"; do
        if [ -f "$f" ]; then
            p=$(cat "$f")
            kill "$p" 2>/dev/null
            for _ in $(seq 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
            kill -9 "$p" 2>/dev/null
        fi
    done
    rm -rf "$work"
}
trap cleanup EXIT

# Ports no one else listens on.
port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
ctld_port=$((20000 + RANDOM % 20000))
while ! port_free "$ctld_port" || ! port_free $((ctld_port + 1)); do ctld_port=$((ctld_port + 2)); done
slurmd_port=$((ctld_port + 1))

# munge, with a key and socket of its own.
mkdir -p "$work/munge" "$work/state" "$work/spool"
chmod 700 "$work/munge"
dd if=/dev/urandom of="$work/munge/munge.key" bs=1024 count=1 status=none
chmod 400 "$work/munge/munge.key"
user=$(id -un)
if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: the one-node cluster needs root to start slurmd" && exit 77
fi
munged --force --socket="$work/munge/munge.socket" --key-file="$work/munge/munge.key" \
    --pid-file="$work/munged.pid" --log-file="$work/munge/munged.log" --seed-file="$work/munge/munged.seed" ||
    fail "munged cannot start: $(cat "$work/munge/munged.log" 2>/dev/null)"

host=$(hostname -s)
cpus=$(nproc)
export SLURM_CONF="$work/slurm.conf"
cat >"$SLURM_CONF" <<EOF
ClusterName=terralume
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=$user
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$work/munge/munge.socket
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
MpiDefault=none
ReturnToService=2
SlurmdTimeout=30
NodeName=$host NodeAddr=127.0.0.1 CPUs=$cpus State=UNKNOWN
PartitionName=tiles Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF

slurmctld -f "$SLURM_CONF" || fail "slurmctld cannot start: $(tail -5 "$work/slurmctld.log" 2>/dev/null)"
slurmd -f "$SLURM_CONF" || fail "slurmd cannot start: $(tail -5 "$work/slurmd.log" 2>/dev/null)"
up=0
for _ in $(seq 100); do
    if sinfo -h -o %t 2>/dev/null | grep -qE '^(idle|mix|alloc)'; then
        up=1
        break
    fi
    sleep 0.2
done
[ "$up" = 1 ] || fail "the node does not come up: $(sinfo 2>&1; tail -5 "$work/slurmctld.log" "$work/slurmd.log")"

# The DEM, the whole run, the plan.
cd "$work"
gdalwarp -q -t_srs EPSG:32616 -tr 90 90 -r bilinear "$source_folder/examples/jacksboro.tif" dem.tif
options=(--sun simple --from 06-21 --to 06-22 --output sunhours,illumination)
"$terralume" dem.tif whole.tif "${options[@]}" -q
"$terralume" tiles plan dem.tif tiled.tif "${options[@]}" --tile 120 plan.json -q
tiles=$(grep -c '"core"' plan.json)
[ "$tiles" -ge 4 ] || fail "the plan has $tiles tiles, fewer than 4"

array=$(sbatch --parsable --array=0-$((tiles - 1))%2 --cpus-per-task=1 --output="$work/tile-%a.log" \
    --wrap="'$terralume' tiles run '$work/plan.json' --threads 1")
merge=$(sbatch --parsable --dependency=afterok:"$array" --output="$work/merge.log" \
    --wrap="'$terralume' tiles merge '$work/plan.json'")
for _ in $(seq 600); do
    [ -z "$(squeue -h -j "$array,$merge" 2>/dev/null)" ] && break
    sleep 0.5
done
[ -z "$(squeue -h -j "$array,$merge" 2>/dev/null)" ] || fail "the jobs did not end in 5 minutes: $(squeue)"
state=$(scontrol show job "$merge" 2>/dev/null | grep -o 'JobState=[A-Z]*' || true)
[ -f tiled_sunhours.tif ] ||
    fail "the merge wrote nothing ($state): $(cat merge.log tile-*.log 2>/dev/null | head -20)"
for kind in sunhours illumination; do
    gdal_translate -q -of ENVI "whole_$kind.tif" "whole_$kind.img"
    gdal_translate -q -of ENVI "tiled_$kind.tif" "tiled_$kind.img"
    cmp "whole_$kind.img" "tiled_$kind.img" || fail "$kind: the Slurm run differs from the whole run"
done
grep -q "wrote $work/plan.json\|wrote tiled_sunhours.tif" merge.log || fail "merge.log: $(cat merge.log)"
echo "ok: $tiles tiles on Slurm, merged, the same as the whole run"
