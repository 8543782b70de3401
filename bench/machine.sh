# Sourced by the benchmark scripts (run.sh, lv2bench.sh): print_machine prints what a run is
# measured on, which every figure is named with: the processor (family, model and the vector
# extensions that matter here), the cores, the load average and the time.
print_machine() {
  cpu_field() { grep -m1 "^$1[[:space:]]*:" /proc/cpuinfo | sed 's/^[^:]*: *//'; }
  local flags=" $(cpu_field flags) "
  local isa=""
  for flag in sse2 avx avx2 fma avx512f; do
    [[ "$flags" == *" $flag "* ]] && isa+=" $flag"
  done
  echo "machine: $(cpu_field 'model name') ($(cpu_field vendor_id), family $(cpu_field 'cpu family')," \
    "model $(cpu_field model), stepping $(cpu_field stepping); has${isa:- none of sse2 avx avx2 fma avx512f})"
  echo "cores: $(nproc); load average: $(cut -d' ' -f1-3 /proc/loadavg); $(date -u '+%Y-%m-%d %H:%M UTC')"
}
