cat <<EOF > out.txt
hello ../x
EOF
pushd build && cmake .. && popd