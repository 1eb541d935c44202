python3 /work/wt-review/review-experiments/connect.py /keyring/control
