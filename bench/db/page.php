<?php
// The peer of the database request: open the SQLite file, select 100 rows
// with a bound parameter, write them out.
$db = new PDO('sqlite:' . getenv('BENCH_DB'));
$st = $db->prepare('select id, name, price, qty from items where id > ? order by id limit 100');
$st->execute([(int)getenv('BENCH_FROM')]);
header('Content-type: text/plain;charset=UTF-8');
foreach ($st->fetchAll(PDO::FETCH_NUM) as $row) {
    echo implode("\t", $row), "\n";
}
