# Reads --seed N and --ops N from the arguments into $seed and $ops (set defaults first); any
# other argument prints the usage line $1 and exits 2.
seed_ops() {
  local usage=$1
  shift
  while (($#)); do
    case $1 in
      --seed) seed=$2; shift 2 ;;
      --ops) ops=$2; shift 2 ;;
      *) echo "usage: $usage" >&2; exit 2 ;;
    esac
  done
}
